// Open-cell bookkeeping of a frame: capture by binary search over the sorted broker list,
// and closing, which copies each captured register into its cell.

#include "vm/upvalue.h"

#include <algorithm>

#include "utils/fatal.h"

namespace tarn {

namespace {

OpenBroker* first_at_or_above(std::vector<OpenBroker>& brokers, std::size_t slot) {
    return std::lower_bound(brokers.data(), brokers.data() + brokers.size(), slot,
                            [](const OpenBroker& b, std::size_t s) { return b.slot < s; });
}

} // namespace

Rc<Upvalue> capture_slot(std::vector<OpenBroker>& brokers, std::size_t slot) {
    OpenBroker* at = first_at_or_above(brokers, slot);
    if (at != brokers.data() + brokers.size() && at->slot == slot) return at->cell;
    Rc<Upvalue> cell = make_rc<Upvalue>(slot);
    brokers.insert(brokers.begin() + (at - brokers.data()), OpenBroker{slot, cell});
    return cell;
}

void close_brokers(const std::vector<Value>& stack, OpenBroker* first, OpenBroker* last) {
    for (OpenBroker* b = first; b != last; ++b) {
        if (b->slot >= stack.size()) fatal_bounds(stack.size(), b->slot);
        b->cell->close(stack[b->slot]);
    }
}

void close_from(const std::vector<Value>& stack, std::vector<OpenBroker>& brokers, std::size_t from) {
    if (brokers.empty()) return;
    OpenBroker* at = first_at_or_above(brokers, from);
    close_brokers(stack, at, brokers.data() + brokers.size());
    brokers.erase(brokers.begin() + (at - brokers.data()), brokers.end());
}

} // namespace tarn
