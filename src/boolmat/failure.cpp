#include "boolmat/failure.hpp"

namespace boolmat {

std::string Failure::message() const {
    std::string out;
    out.reserve(tmpl.size() + 16 * args.size());
    std::size_t next = 0;
    for (std::size_t i = 0; i < tmpl.size(); ++i) {
        if (tmpl[i] == '{' && i + 1 < tmpl.size() && tmpl[i + 1] == '}' && next < args.size()) {
            const FailureArg& a = args[next++];
            if (const auto* u = std::get_if<std::uint64_t>(&a)) {
                out += std::to_string(*u);
            } else if (const auto* s = std::get_if<std::int64_t>(&a)) {
                out += std::to_string(*s);
            } else {
                out += std::get<std::string>(a);
            }
            ++i;
        } else {
            out += tmpl[i];
        }
    }
    return out;
}

}  // namespace boolmat
