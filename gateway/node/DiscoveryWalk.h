#ifndef ORQ_DISCOVERYWALK_H
#define ORQ_DISCOVERYWALK_H

// What one discovery walk (inquiry, LQI discovery, combined discovery) has reached, so that
// its end can tell what the walk learnt from what it merely did not get to. A walk never
// empties the database first: every node it knew stays as it was (descriptors, end points,
// flags) until the walk finds otherwise.
// - A walk that reached the root and ended by its last answer, every answer a success, is
//   complete: a tree walk then drops the nodes it knew at its start that it neither reached
//   nor heard from since (they left the network).
// - A walk that ends early (its time-out, a cancel, the module gone, the node list asked for,
//   an answer with an error) drops nothing; the nodes an LQI discovery marked inactive and did
//   not reach are active again, as they were.
//
// WalkDeadline is the time limit of a walk that grows with the requests it sends.
//
// Both are used under the discovery agent's mutex; begin() and end() take the database's.

#include <chrono>
#include <map>
#include <set>

class Debug;
class ZbNetDb;

enum class WalkKind {
    // Inquiry and combined discovery: the tree of associated devices from the root.
    Tree,
    // LQI discovery: every node counts as inactive until it is heard again.
    Neighbours,
};

class WalkRecord {
  public:
    // Before the walk's first request: notes the nodes known now (for an LQI discovery also
    // marks them inactive) and the time from which a node counts as heard.
    void begin(ZbNetDb* db, WalkKind kind);
    // The walk asks `nwk` (or, for an LQI discovery, hears its answer): false when it reached
    // it before in this walk.
    bool reach(unsigned short nwk);
    // An answer was an error: what lies behind that node stays unknown.
    void markIncomplete() { incomplete = true; }
    // The walk's end; `lastAnswer` when nothing more was expected. Nodes still without an IEEE
    // address get the translated one or go (ghosts); then as above.
    void end(ZbNetDb* db, bool lastAnswer, Debug& log);

  private:
    WalkKind kind = WalkKind::Tree;
    std::map<unsigned short, bool> known;  // at the start: address -> was active
    std::set<unsigned short> reached;
    long since = 0;
    bool incomplete = false;
};

class WalkDeadline {
  public:
    WalkDeadline() = default;
    // From now: `base`, plus `perRequest` for every request counted by add().
    WalkDeadline(std::chrono::milliseconds base, std::chrono::milliseconds perRequest);
    // Counts `n` more requests; returns the whole seconds from now to the deadline, rounded
    // up (at least 1).
    int add(int n);

  private:
    std::chrono::steady_clock::time_point deadline;
    std::chrono::milliseconds perRequest{0};
};

#endif
