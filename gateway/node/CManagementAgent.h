#ifndef ORQ_CMANAGEMENTAGENT_H
#define ORQ_CMANAGEMENTAGENT_H

// ManagementAgent<T>: the management agent (permit joining, leave) as a handler of type T
// calls it, with the reply paths of T's operations (RPCContext). Each call turns its
// caller's context into the reply path the compiled agent (ManagementCore, which see for
// what it does and on which threads) takes, and forwards; no logic lives here.

#include <type_traits>

#include "Agents.h"
#include "ManagementCore.h"

template <class T>
class ManagementAgent : private ManagementCore {
  public:
    using LeaveResF = void* (T::*)(int, RPCReqStatus*);
    using LeaveNotF = void* (T::*)(unsigned char, int, RPCReqStatus*);
    using PermitJoinResF = void* (T::*)(unsigned char, int, RPCReqStatus*);
    using PermitJoinNotF = void* (T::*)(unsigned char, RPCReqStatus*);
    using leaveCommandCtxt = RPCContext<T, LeaveResF, LeaveNotF>;
    using permitJoinCtxt = RPCContext<T, PermitJoinResF, PermitJoinNotF>;

    static_assert(std::is_same_v<ReplyPathOf<T, LeaveResF, LeaveNotF>, LeavePath>);
    static_assert(std::is_same_v<ReplyPathOf<T, PermitJoinResF, PermitJoinNotF>, PermitJoinPath>);

    static ManagementAgent* Instance() {
        static ManagementAgent instance;
        return &instance;
    }

    // Tests build their own on an adapter, configuration and clock of their choosing.
    explicit ManagementAgent(OrqZbIf* adapter = nullptr, ConfigurationRepository* config = nullptr,
                             TimerClock* clock = nullptr)
        : ManagementCore(adapter, config, clock) {}

    // The operations the calls below forward to: other ones (a test's fake agent), or null
    // for the agent's own.
    void setOperations(ManagementOperations* ops) { operations = ops != nullptr ? ops : this; }

    using ManagementCore::init;

    AgentError permitJoin(unsigned short address, unsigned short duration, bool tcSignificance,
                          unsigned long timeout, permitJoinCtxt* ctx) {
        return withReplyPath(ctx, [&](auto* p) {
            return operations->permitJoin(address, duration, tcSignificance, timeout, p);
        });
    }
    AgentError leaveRequest(unsigned short address, bool removeChildren, bool rejoin,
                            leaveCommandCtxt* ctx) {
        return withReplyPath(ctx, [&](auto* p) {
            return operations->leaveRequest(address, removeChildren, rejoin, p);
        });
    }

    using ManagementCore::leaveCommandNotify_Cb;
    using ManagementCore::moduleAway;
    using ManagementCore::onPermitJoin;
    using ManagementCore::permitJoinNotify_Cb;

  private:
    ManagementOperations* operations = this;
};

#endif
