// The main of a micro-benchmark whose code traces to standard output (as the gateway's receive
// path does): the traces are formatted, and so measured, but go to /dev/null; the results go
// to the original standard output (console table, or JSON with --benchmark_format=json).
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

inline int quietBenchmarkMain(int argc, char** argv) {
    int out = dup(STDOUT_FILENO);
    if (out < 0 || std::freopen("/dev/null", "w", stdout) == nullptr)
        return 1;
    std::ofstream results("/dev/fd/" + std::to_string(out));
    bool json = false;  // read before Initialize takes the flags out of argv
    for (int i = 1; i < argc; ++i)
        json = json || std::string(argv[i]) == "--benchmark_format=json";
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    std::unique_ptr<benchmark::BenchmarkReporter> reporter;
    if (json)
        reporter = std::make_unique<benchmark::JSONReporter>();
    else
        reporter =
            std::make_unique<benchmark::ConsoleReporter>(benchmark::ConsoleReporter::OO_None);
    reporter->SetOutputStream(&results);
    reporter->SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(reporter.get());
    benchmark::Shutdown();
    return 0;
}
