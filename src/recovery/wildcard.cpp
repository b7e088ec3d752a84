#include "recovery/wildcard.h"

namespace trevik {

std::string ToUpperName(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

namespace {

bool EndsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

bool IsWild(char c) {
    return c == '*' || c == '?';
}

} // namespace

int MatchWildcard(std::string_view name, std::string_view patternIn) {
    const std::string_view n = name;
    if (n.empty() || patternIn.empty()) {
        return 0;
    }
    const bool hasStar = patternIn.find('*') != std::string_view::npos;
    if (!hasStar && n.size() < patternIn.size()) {
        return 0;
    }
    if (patternIn == "*") {
        return 1;
    }
    if (patternIn == "*.*") {
        return n.find('.') != std::string_view::npos ? 1 : 0;
    }
    if (!hasStar && patternIn.find('?') == std::string_view::npos) {
        return n.find(patternIn) != std::string_view::npos ? 1 : 0;
    }

    // A trailing run of several '*' counts as one.
    std::string_view p = patternIn;
    while (p.size() >= 2 && p[p.size() - 1] == '*' && p[p.size() - 2] == '*') {
        p.remove_suffix(1);
    }
    const size_t plen = p.size();
    const size_t nlen = n.size();
    const size_t lastP = plen - 1;

    size_t pi = 0;
    size_t i = 0;
    bool starSeen = false;
    std::string run; // literals consumed since the last '*'

    while (pi < plen) {
        const char c = p[pi];
        const size_t following = lastP - pi; // pattern characters after this one
        if (c == '*') {
            run.clear();
            starSeen = true;
            if (pi == lastP) {
                return 1;
            }
            size_t anchor = pi + 1;
            if (IsWild(p[anchor])) {
                while (anchor < plen && IsWild(p[anchor])) {
                    ++anchor;
                }
                if (anchor == plen) {
                    return 1;
                }
                if (anchor == lastP) {
                    return n.back() == p[anchor] ? 1 : 0;
                }
            }
            // The '*' consumes one name character before the anchor is looked for.
            ++i;
            if (i >= nlen) {
                if (anchor == lastP && p[anchor - 1] == '*' && anchor < nlen &&
                    n.find(p[anchor], anchor) != std::string_view::npos) {
                    return 1;
                }
                return 0;
            }
            pi = anchor;
            continue;
        }
        if (c == '?') {
            if (pi == lastP) {
                run.push_back('?');
                std::string tail(n.substr(nlen > run.size() ? nlen - run.size() : 0));
                tail.back() = '?';
                return tail == run ? 1 : 0;
            }
            if (i >= nlen) {
                return 0;
            }
            if (following >= 2 && i == nlen - 1) {
                return 0;
            }
            ++i;
        } else if (!starSeen) {
            if (i >= nlen || n[i] != c) {
                return 0;
            }
            ++i;
        } else if (i < nlen && n[i] == c) {
            if (following >= 2 && i == nlen - 1) {
                return 0;
            }
            run.push_back(c);
            if (pi == lastP) {
                return EndsWith(n, run) ? 1 : 0;
            }
            ++i;
        } else {
            run.push_back(c);
            if (pi == lastP) {
                return EndsWith(n, run) ? 1 : 0;
            }
            const size_t from = i == 0 ? 0 : i - 1;
            const size_t f = from <= nlen ? n.find(run, from) : std::string_view::npos;
            if (f == std::string_view::npos) {
                return 0;
            }
            const size_t e = f + run.size() - 1;
            if (e == nlen - 1) {
                return 0;
            }
            i = e + 1;
        }
        ++pi;
    }
    return 1;
}

} // namespace trevik
