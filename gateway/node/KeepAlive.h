#ifndef ORQ_KEEPALIVE_H
#define ORQ_KEEPALIVE_H

// KeepAlive: the discovery agent's keep-alive task and its dead-node list (freshness mode).
// The task visits one node of the database at a time; a node silent past the keep-alive
// threshold is pinged with management LQI requests (main:keepAliveNumberOfAttempt of them)
// and, still silent, told to the agent as dead; a node whose neighbour table is older than
// main:forcePingTimeout is pinged once to refresh it. The dead-node list holds the nodes
// being pinged.
//
// Threads: the task runs on a thread of its own from runKeepAliveAlgorithm() until stop() (or
// the destructor), which joins it. Every other operation may be called from any thread. The
// list, the settings and the pings decided on are guarded by the agent's mutex (`mux`, given
// at construction, recursive), which is taken before the database's own mutex; the hooks are
// called with both held. The pauses of the task hold neither, and the pings go out between
// visits holding no lock.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class Debug;
class Node;
class OrqZbIf;
class ZbNetDb;

// Seconds added to the keep-alive threshold before a node's first ping: nodes heard at the
// same moment fall due spread over a quarter of the threshold instead of in one burst.
// Fixed per short address; 0 for thresholds below 4 s.
int pingJitterSeconds(unsigned short nwk, int threshold);

class KeepAlive {
  public:
    // How long the task waits: between looks for a first node, after it before the first
    // visit, and between two node visits.
    struct Timings {
        std::chrono::milliseconds poll{2000};
        std::chrono::milliseconds startDelay{10000};
        std::chrono::milliseconds visit{3000};
    };
    // The configuration's keep-alive keys, the debug switch of the agent and the pause after
    // each ping.
    struct Settings {
        int threshold = 60;
        int numOfPings = 3;
        int forcePingTimeout = 240;
        bool debugEnabled = false;
        std::chrono::milliseconds pacing{800};
    };
    // What the task asks of its agent (called under `mux` and the database's mutex, except
    // ping, called holding no lock).
    struct Hooks {
        // A node found dead (or unknown to the network).
        std::function<void(Node*)> nodeDead;
        // An inactive sleepy node, announced again.
        std::function<void(unsigned short nwk, unsigned char* ieee)> announceSleepy;
        // The task is about to visit its first node (the agent listens to the pings' answers).
        std::function<void()> starting;
        // Sends one ping.
        std::function<void(unsigned short nwk)> ping;
    };
    // Wall-clock seconds, as the nodes' time stamps are (null: std::time).
    using Clock = std::function<long()>;

    KeepAlive(OrqZbIf* adapter, std::recursive_mutex& mux, Debug& log, Hooks hooks,
              Clock clock = nullptr);
    ~KeepAlive();
    KeepAlive(const KeepAlive&) = delete;
    KeepAlive& operator=(const KeepAlive&) = delete;

    void configure(const Settings& s);
    // Starts the task unless it runs already or was stopped.
    void runKeepAliveAlgorithm();
    // Ends the task for good and joins it.
    void stop();
    void setKeepAliveTimings(const Timings& t);

    // Negative values are ignored (logged all the same).
    void setKAthreshold(int seconds);
    int getKAthreshold() const { return threshold.load(); }

    // One keep-alive visit of `node`. A ping it decides on is queued for takeDuePings().
    void keepAliveAlgorithm(Node* node);
    // The forced ping of a node whose neighbour table is old.
    void forcePingAlgorithm(Node* node);
    // The pings decided on since the last call.
    std::vector<unsigned short> takeDuePings();

    void insertNodeIntoDeadingNodeList(const unsigned char* ieee, long time);
    void removeNodeFromDeadingNodeList(int index);
    // The index; -1 for an empty list; the count when absent.
    int searchNodeFromDeadingNodeList(const Node* node);
    void clearDeadingNodeList();
    // Whether the node now known under `nwk` is in the dead-node list.
    bool isInDeadingNodeList(unsigned short nwk);
    int getDeadingNodeListCounter();

  private:
    struct deadingNode {
        unsigned char ieee_addr[8];
        long expiredTime;
    };

    void startKATask_SW();
    void visitNode(unsigned short nwk);
    unsigned short nextNode(unsigned short nwk);
    void removeFromDeadList(const Node* node);
    bool pause(std::chrono::milliseconds d);
    Timings timings();
    std::chrono::milliseconds pacingNow();
    unsigned short rootAddress();
    long now() const;

    OrqZbIf* adapter;
    ZbNetDb* db;
    std::recursive_mutex& mux;
    Debug& log;
    Hooks hooks;
    Clock clock;

    std::atomic<int> threshold{60};
    Settings settings;                         // under mux (but the threshold)
    std::vector<deadingNode> deadingNodeList;  // under mux
    std::vector<unsigned short> duePings;      // under mux

    std::mutex taskMux;  // stopping, the task's start and its timings
    std::condition_variable taskCv;
    bool stopping = false;
    bool taskStarted = false;
    Timings kaTimings;
    std::thread tid;
};

#endif
