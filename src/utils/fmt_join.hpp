// Joining a sequence into text with a separator, optional surrounding text and a text for emptiness.
#pragma once

#include <string>
#include <string_view>

namespace brimsel {

struct JoinOpts {
    std::string_view sep = " ";
    std::string_view start = {};   // written before the first item
    std::string_view end = {};     // written after the last item
    std::string_view orelse = {};  // written instead of everything for an empty sequence
};

// Appends the items of `range`, each written by `item(out, element)`.
template <class Range, class ItemFn>
void fmt_join(std::string& out, const Range& range, const JoinOpts& o, ItemFn&& item) {
    bool first = true;
    for (const auto& e : range) {
        if (first) {
            out += o.start;
            first = false;
        } else {
            out += o.sep;
        }
        item(out, e);
    }
    if (first)
        out += o.orelse;
    else
        out += o.end;
}

template <class Range>
std::string fmt_join(const Range& range, const JoinOpts& o) {
    std::string out;
    fmt_join(out, range, o, [](std::string& s, const auto& e) {
        if constexpr (requires { e.to_string(); })
            s += e.to_string();
        else
            s += e;
    });
    return out;
}

}  // namespace brimsel
