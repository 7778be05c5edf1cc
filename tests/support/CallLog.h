// The calls a test recorder saw under one name, read under the recorder's lock.
#pragma once

#include <mutex>
#include <string>
#include <vector>

template <class Call>
std::vector<Call> callsNamed(std::mutex& m, const std::vector<Call>& calls, const std::string& op) {
    std::lock_guard<std::mutex> lock(m);
    std::vector<Call> out;
    for (const Call& c : calls) {
        if (c.op == op) {
            out.push_back(c);
        }
    }
    return out;
}
