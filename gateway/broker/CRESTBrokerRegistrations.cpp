// The registrations that outlive their exchange (the listeners of the standing lists, and the
// local services a client added), told to a keeper (the stored network) and made again at
// start from what it kept.

#include "CRESTBroker.h"

void RESTBroker::keepRegistrations(RegistrationKeeper k) {
    std::lock_guard<std::mutex> lock(keptMux);
    keeper = std::move(k);
}

bool RESTBroker::isStandingList(const RBURIListenerList* list) const {
    if (list == &listeners.gwStatus || list == &listeners.nodeAnnounce ||
        list == &listeners.freshness || list == &listeners.allServices) {
        return true;
    }
    // The lists made per end point or per callback.
    return list->attach == &RESTBroker::serviceAttach ||
           list->attach == &RESTBroker::serviceAttach_BC ||
           list->attach == &RESTBroker::callbackAttach;
}

void RESTBroker::registrationMade(RBURIListenerList* list, const uriListener_t& listener,
                                  RESTSessionContext* session) {
    // A registration refused by its attach has already left the list.
    if (!isStandingList(list) || !list->hasListener(listener.id)) {
        return;
    }
    keepRegistration(listener.id, list, session);
}

std::string RESTBroker::serviceRegistrationId(int endPoint) {
    return "service-" + std::to_string(endPoint);
}

void RESTBroker::keepRegistration(const std::string& id, const RBURIListenerList* list,
                                  RESTSessionContext* session) {
    Registration r{id, session->getReqMethodStr(), session->getReqURI(), session->getQueryStr(),
                   session->getRxDataBuffer()};
    std::function<void(const Registration&)> tell;
    {
        std::lock_guard<std::mutex> lock(keptMux);
        if (!keeper.kept) {
            return;
        }
        keptLists[r.id] = list;
        tell = keeper.kept;
    }
    tell(r);
}

void RESTBroker::tellForgotten(const std::vector<std::string>& ids) {
    std::function<void(const std::string&)> tell;
    {
        std::lock_guard<std::mutex> lock(keptMux);
        tell = keeper.forgotten;
    }
    for (const std::string& id : ids) {
        if (tell) {
            tell(id);
        }
    }
}

void RESTBroker::forgetRegistration(const std::string& id) {
    bool kept;
    {
        std::lock_guard<std::mutex> lock(keptMux);
        kept = keptLists.erase(id) != 0;
    }
    if (kept) {
        tellForgotten({id});
    }
}

void RESTBroker::registrationsGone(const RBURIListenerList* list) {
    std::vector<std::string> gone;
    {
        std::lock_guard<std::mutex> lock(keptMux);
        for (auto it = keptLists.begin(); it != keptLists.end();) {
            if (it->second == list && !list->hasListener(it->first)) {
                gone.push_back(it->first);
                it = keptLists.erase(it);
            } else {
                ++it;
            }
        }
    }
    tellForgotten(gone);
}

int RESTBroker::restoreRegistrations(const std::vector<Registration>& stored) {
    int restored = 0;
    for (const Registration& r : stored) {
        uriListener_t::reuseId(r.id);
        pRESTServer->serveInProcess(r.method, r.path, r.query, r.body);
        bool back = false;
        {
            std::lock_guard<std::mutex> lock(keptMux);
            back = keptLists.count(r.id) != 0;
        }
        if (back) {
            ++restored;
        } else {
            ORQ_LOG(*pLogger, WARN, "restoreRegistrations - %s %s?%s (%s) was refused: forgotten",
                    r.method.c_str(), r.path.c_str(), r.query.c_str(), r.id.c_str());
            tellForgotten({r.id});
        }
        // A request refused before a listener was made leaves the id unused: the next one
        // must not take it.
        uriListener_t::reuseId("");
    }
    return restored;
}
