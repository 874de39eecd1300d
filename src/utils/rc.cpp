#include "utils/rc.h"

#include <vector>

namespace tarn {

namespace {

std::vector<Shared*> pending_frees;
bool freeing = false;
Tracked* tracked_head = nullptr;

} // namespace

void destroy(Shared* p) {
    pending_frees.push_back(p);
    if (freeing) return;
    freeing = true;
    while (!pending_frees.empty()) {
        Shared* q = pending_frees.back();
        pending_frees.pop_back();
        delete q;
    }
    freeing = false;
}

Tracked::Tracked() {
    next_ = tracked_head;
    if (tracked_head) tracked_head->prev_ = this;
    tracked_head = this;
}

Tracked::~Tracked() {
    if (prev_)
        prev_->next_ = next_;
    else
        tracked_head = next_;
    if (next_) next_->prev_ = prev_;
}

void sweep_tracked() {
    std::vector<Tracked*> alive;
    for (Tracked* t = tracked_head; t; t = t->next_) alive.push_back(t);
    // Pin everything first so that clearing one object cannot free another under our feet.
    for (Tracked* t : alive) retain(t);
    for (Tracked* t : alive) t->clear_refs();
    for (Tracked* t : alive) release(t);
}

} // namespace tarn
