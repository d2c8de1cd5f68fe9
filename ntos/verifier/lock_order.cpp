// verifier/lock_order.cpp - the lock order graph and the held set of each
// thread.
#include "ntos/verifier/lock_order.h"
#include "ntos/verifier/bugcheck.h"
#include "bugcodes.h"

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <execinfo.h>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

constexpr int kStackFrames = 24;

struct VfpLockNode {
    explicit VfpLockNode(VfLockKind K) : Kind(K) {}
    VfLockKind Kind;
    ULONG Holders = 0;                // held-set entries naming it, all threads
    _KTHREAD* Owner = nullptr;        // the thread that took it last
    std::set<ULONG_PTR> Before;       // locks taken before it (edges into it)
    std::set<ULONG_PTR> After;        // locks taken after it (edges out of it)
};

// The first acquisition that showed an order First -> Second.
struct VfpOrderEdge {
    _KTHREAD* Thread;
    const void* FirstSite;            // where First was taken
    std::vector<void*> SecondStack;   // the stack that took Second
};

struct VfpHeldLock {
    ULONG_PTR Lock;
    VfLockKind Kind;
    ULONG Count;                      // recursive holds
    const void* Site;                 // where the first hold was taken
};

// One lock for the whole graph and every held set: a held set changes from
// other threads too (a resource released for its owner, a mutex handed over
// by a waker), and orders are rare next to acquisitions, so one short host
// lock costs less than finer ones would save. Never held while calling out.
struct VfpLockOrder {
    std::mutex Lock;
    std::map<ULONG_PTR, VfpLockNode> Nodes;                       // by address; Lock
    std::map<std::pair<ULONG_PTR, ULONG_PTR>, VfpOrderEdge> Edges; // Lock
    std::unordered_map<_KTHREAD*, std::vector<VfpHeldLock>> Held;  // Lock
    ULONG OrdersSeen = 0;                                          // Lock
};

VfpLockOrder& State() {
    static VfpLockOrder* state = new VfpLockOrder; // never destroyed: threads may outlive main
    return *state;
}

const char* KindName(VfLockKind Kind) {
    switch (Kind) {
    case VfLockKind::SpinLock:
        return "spin lock";
    case VfLockKind::Resource:
        return "resource";
    case VfLockKind::Mutex:
        return "mutex";
    }
    return "lock";
}

void AppendSymbol(std::string& Out, const void* Address) {
    char line[256];
    Dl_info info{};
    if (Address != nullptr && dladdr(Address, &info) != 0 && info.dli_sname != nullptr) {
        std::snprintf(line, sizeof(line), "%s+0x%lx", info.dli_sname,
                      static_cast<unsigned long>(static_cast<const char*>(Address) -
                                                 static_cast<const char*>(info.dli_saddr)));
    } else {
        std::snprintf(line, sizeof(line), "%p", Address);
    }
    Out += line;
}

void AppendStack(std::string& Out, const std::vector<void*>& Stack) {
    char** symbols = backtrace_symbols(Stack.data(), static_cast<int>(Stack.size()));
    for (size_t i = 0; i < Stack.size(); ++i) {
        Out += "      ";
        if (symbols != nullptr) {
            Out += symbols[i];
        } else {
            AppendSymbol(Out, Stack[i]);
        }
        Out += '\n';
    }
    std::free(symbols);
}

void AppendLock(std::string& Out, VfpLockOrder& State, ULONG_PTR Lock) {
    char text[64];
    auto it = State.Nodes.find(Lock);
    std::snprintf(text, sizeof(text), "%s %#lx", it != State.Nodes.end() ? KindName(it->second.Kind) : "lock",
                  static_cast<unsigned long>(Lock));
    Out += text;
}

// The path of orders From -> ... -> To, or empty. State lock held.
std::vector<ULONG_PTR> FindPathLocked(VfpLockOrder& State, ULONG_PTR From, ULONG_PTR To) {
    std::map<ULONG_PTR, ULONG_PTR> parent{{From, From}};
    std::vector<ULONG_PTR> frontier{From};
    while (!frontier.empty()) {
        ULONG_PTR lock = frontier.back();
        frontier.pop_back();
        if (lock == To) {
            std::vector<ULONG_PTR> path{To};
            while (path.back() != From) {
                path.push_back(parent[path.back()]);
            }
            return {path.rbegin(), path.rend()};
        }
        for (ULONG_PTR next : State.Nodes.at(lock).After) {
            if (parent.emplace(next, lock).second) {
                frontier.push_back(next);
            }
        }
    }
    return {};
}

// Thread, holding Held (taken at Held.Site), takes Lock at Caller although
// the graph already orders Lock before Held along Path.
[[noreturn]] void ReportCycleLocked(VfpLockOrder& State, _KTHREAD* Thread, const VfpHeldLock& Held,
                                    ULONG_PTR Lock, const void* Caller,
                                    const std::vector<ULONG_PTR>& Path) {
    static std::string rule;
    rule = "lock order cycle (a potential deadlock): thread ";
    char text[64];
    std::snprintf(text, sizeof(text), "%p", static_cast<void*>(Thread));
    rule += text;
    rule += " takes ";
    AppendLock(rule, State, Lock);
    rule += " at ";
    AppendSymbol(rule, Caller);
    rule += " while it holds ";
    AppendLock(rule, State, Held.Lock);
    rule += " taken at ";
    AppendSymbol(rule, Held.Site);
    rule += "\n*** the opposite order was recorded earlier:\n";
    for (size_t i = 0; i + 1 < Path.size(); ++i) {
        const VfpOrderEdge& edge = State.Edges.at({Path[i], Path[i + 1]});
        rule += "***   thread ";
        std::snprintf(text, sizeof(text), "%p", static_cast<void*>(edge.Thread));
        rule += text;
        rule += " held ";
        AppendLock(rule, State, Path[i]);
        rule += " taken at ";
        AppendSymbol(rule, edge.FirstSite);
        rule += " and took ";
        AppendLock(rule, State, Path[i + 1]);
        rule += " from:\n";
        AppendStack(rule, edge.SecondStack);
    }
    rule += "*** this thread's stack follows";
    VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, rule.c_str(), Caller, VF_DEADLOCK_DETECTED,
               Lock, Held.Lock, reinterpret_cast<ULONG_PTR>(Thread));
}

void EraseNodeLocked(VfpLockOrder& State, std::map<ULONG_PTR, VfpLockNode>::iterator It) {
    const ULONG_PTR lock = It->first;
    for (ULONG_PTR before : It->second.Before) {
        State.Nodes.at(before).After.erase(lock);
        State.Edges.erase({before, lock});
    }
    for (ULONG_PTR after : It->second.After) {
        State.Nodes.at(after).Before.erase(lock);
        State.Edges.erase({lock, after});
    }
    State.Nodes.erase(It);
}

void CheckOrderLocked(VfpLockOrder& State, _KTHREAD* Thread, ULONG_PTR Lock, VfLockKind Kind,
                      const void* Caller) {
    auto owner = State.Held.find(Thread);
    if (owner == State.Held.end()) {
        return; // the thread holds nothing: no order
    }
    const std::vector<VfpHeldLock>& held = owner->second;
    for (const VfpHeldLock& h : held) {
        if (h.Lock == Lock) {
            return; // a recursive acquisition waits for nobody
        }
    }
    State.Nodes.try_emplace(Lock, Kind);
    for (const VfpHeldLock& h : held) {
        auto key = std::make_pair(h.Lock, Lock);
        if (State.Edges.count(key) != 0) {
            continue;
        }
        std::vector<ULONG_PTR> path = FindPathLocked(State, Lock, h.Lock);
        if (!path.empty()) {
            ReportCycleLocked(State, Thread, h, Lock, Caller, path);
        }
        VfpOrderEdge edge{Thread, h.Site, std::vector<void*>(kStackFrames)};
        edge.SecondStack.resize(static_cast<size_t>(backtrace(edge.SecondStack.data(), kStackFrames)));
        State.Edges.emplace(key, std::move(edge));
        State.Nodes.try_emplace(h.Lock, h.Kind).first->second.After.insert(Lock);
        State.Nodes.at(Lock).Before.insert(h.Lock);
        ++State.OrdersSeen;
    }
}

void HeldLocked(VfpLockOrder& State, _KTHREAD* Thread, ULONG_PTR Lock, VfLockKind Kind,
                const void* Caller) {
    std::vector<VfpHeldLock>& held = State.Held[Thread];
    for (VfpHeldLock& h : held) {
        if (h.Lock == Lock) {
            ++h.Count;
            return;
        }
    }
    held.push_back(VfpHeldLock{Lock, Kind, 1, Caller});
    VfpLockNode& node = State.Nodes.try_emplace(Lock, Kind).first->second;
    ++node.Holders;
    node.Owner = Thread;
}

} // namespace

void VfLockOrderCheck(_KTHREAD* Thread, const void* Lock, VfLockKind Kind, const void* Caller) {
    VfpLockOrder& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    CheckOrderLocked(state, Thread, reinterpret_cast<ULONG_PTR>(Lock), Kind, Caller);
}

void VfLockHeld(_KTHREAD* Thread, const void* Lock, VfLockKind Kind, const void* Caller) {
    VfpLockOrder& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    HeldLocked(state, Thread, reinterpret_cast<ULONG_PTR>(Lock), Kind, Caller);
}

void VfLockAcquire(_KTHREAD* Thread, const void* Lock, VfLockKind Kind, const void* Caller) {
    VfpLockOrder& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    CheckOrderLocked(state, Thread, reinterpret_cast<ULONG_PTR>(Lock), Kind, Caller);
    HeldLocked(state, Thread, reinterpret_cast<ULONG_PTR>(Lock), Kind, Caller);
}

void VfLockReleased(_KTHREAD* Thread, const void* Lock, const void* Caller, BOOLEAN AllHolds) {
    VfpLockOrder& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    auto owner = state.Held.find(Thread);
    if (owner == state.Held.end()) {
        return;
    }
    std::vector<VfpHeldLock>& held = owner->second;
    const auto lock = reinterpret_cast<ULONG_PTR>(Lock);
    for (size_t i = held.size(); i-- > 0;) {
        if (held[i].Lock != lock) {
            continue;
        }
        if (held[i].Kind == VfLockKind::SpinLock) {
            for (size_t later = held.size(); later-- > i + 1;) {
                if (held[later].Kind == VfLockKind::SpinLock) {
                    VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                               "spin lock released before a spin lock taken after it", Caller,
                               VF_DEADLOCK_UNEXPECTED_RELEASE, lock, held[later].Lock);
                }
            }
        }
        if (!AllHolds && --held[i].Count != 0) {
            return;
        }
        held.erase(held.begin() + static_cast<std::ptrdiff_t>(i));
        auto node = state.Nodes.find(lock);
        if (node != state.Nodes.end()) {
            --node->second.Holders;
        }
        if (held.empty()) {
            state.Held.erase(owner);
        }
        return;
    }
}

void VfLockThreadEnded(_KTHREAD* Thread) {
    VfpLockOrder& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    auto owner = state.Held.find(Thread);
    if (owner == state.Held.end()) {
        return;
    }
    for (const VfpHeldLock& h : owner->second) {
        auto node = state.Nodes.find(h.Lock);
        if (node != state.Nodes.end()) {
            --node->second.Holders;
        }
    }
    state.Held.erase(owner);
}

void VfLockInitialized(const void* Lock) {
    VfpLockOrder& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    auto it = state.Nodes.find(reinterpret_cast<ULONG_PTR>(Lock));
    if (it != state.Nodes.end() && it->second.Holders == 0) {
        EraseNodeLocked(state, it);
    }
}

void VfLockForgetRange(const void* Start, SIZE_T Size, const void* Caller) {
    VfpLockOrder& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    const auto begin = reinterpret_cast<ULONG_PTR>(Start);
    auto it = state.Nodes.lower_bound(begin);
    while (it != state.Nodes.end() && it->first < begin + Size) {
        if (it->second.Holders != 0) {
            VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "memory freed while a lock in it is held",
                       Caller, VF_DEADLOCK_DELETED_OWNED_LOCK, it->first,
                       reinterpret_cast<ULONG_PTR>(it->second.Owner), begin);
        }
        EraseNodeLocked(state, it++);
    }
}

void VfLockOrderReset() {
    VfpLockOrder& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Nodes.clear();
    state.Edges.clear();
    state.Held.clear();
    state.OrdersSeen = 0;
}

ULONG VfLockOrdersSeen() {
    VfpLockOrder& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    return state.OrdersSeen;
}
