#include "recovery/wildcard.h"

#include <optional>
#include <string>

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

namespace {

// The matcher's walk over the pattern, one pattern character a step. Each step either
// decides the match (a value) or moves on (nullopt).
class Walk {
public:
    Walk(std::string_view name, std::string_view pattern)
        : n_(name), p_(pattern), nlen_(name.size()), plen_(pattern.size()),
          lastP_(pattern.size() - 1) {}

    int Run() {
        while (pi_ < plen_) {
            const char c = p_[pi_];
            const std::optional<int> decided = c == '*'   ? Star()
                                               : c == '?' ? Question()
                                                          : Literal(c);
            if (decided) {
                return *decided;
            }
        }
        return 1;
    }

private:
    // Pattern characters after the current one.
    size_t Following() const { return lastP_ - pi_; }

    std::optional<int> Star() {
        run_.clear();
        starSeen_ = true;
        if (pi_ == lastP_) {
            return 1;
        }
        size_t anchor = pi_ + 1;
        if (IsWild(p_[anchor])) {
            while (anchor < plen_ && IsWild(p_[anchor])) {
                ++anchor;
            }
            if (anchor == plen_) {
                return 1;
            }
            if (anchor == lastP_) {
                return n_.back() == p_[anchor] ? 1 : 0;
            }
        }
        // The '*' consumes one name character before the anchor is looked for.
        ++i_;
        if (i_ >= nlen_) {
            if (anchor == lastP_ && p_[anchor - 1] == '*' && anchor < nlen_ &&
                n_.find(p_[anchor], anchor) != std::string_view::npos) {
                return 1;
            }
            return 0;
        }
        pi_ = anchor;
        return std::nullopt;
    }

    std::optional<int> Question() {
        if (pi_ == lastP_) {
            run_.push_back('?');
            std::string tail(n_.substr(nlen_ > run_.size() ? nlen_ - run_.size() : 0));
            tail.back() = '?';
            return tail == run_ ? 1 : 0;
        }
        if (i_ >= nlen_ || (Following() >= 2 && i_ == nlen_ - 1)) {
            return 0;
        }
        ++i_;
        ++pi_;
        return std::nullopt;
    }

    std::optional<int> Literal(char c) {
        if (!starSeen_) {
            if (i_ >= nlen_ || n_[i_] != c) {
                return 0;
            }
            ++i_;
        } else if (i_ < nlen_ && n_[i_] == c) {
            if (Following() >= 2 && i_ == nlen_ - 1) {
                return 0;
            }
            run_.push_back(c);
            if (pi_ == lastP_) {
                return EndsWith(n_, run_) ? 1 : 0;
            }
            ++i_;
        } else {
            // Look for the literals since the last '*' further on in the name.
            run_.push_back(c);
            if (pi_ == lastP_) {
                return EndsWith(n_, run_) ? 1 : 0;
            }
            const size_t from = i_ == 0 ? 0 : i_ - 1;
            const size_t f = from <= nlen_ ? n_.find(run_, from) : std::string_view::npos;
            if (f == std::string_view::npos) {
                return 0;
            }
            const size_t e = f + run_.size() - 1;
            if (e == nlen_ - 1) {
                return 0;
            }
            i_ = e + 1;
        }
        ++pi_;
        return std::nullopt;
    }

    std::string_view n_;
    std::string_view p_;
    size_t nlen_;
    size_t plen_;
    size_t lastP_;
    size_t pi_ = 0;
    size_t i_ = 0;
    bool starSeen_ = false;
    std::string run_; // literals consumed since the last '*'
};

} // namespace

int MatchWildcard(std::string_view name, std::string_view patternIn) {
    if (name.empty() || patternIn.empty()) {
        return 0;
    }
    const bool hasStar = patternIn.find('*') != std::string_view::npos;
    if (!hasStar && name.size() < patternIn.size()) {
        return 0;
    }
    if (patternIn == "*") {
        return 1;
    }
    if (patternIn == "*.*") {
        return name.find('.') != std::string_view::npos ? 1 : 0;
    }
    if (!hasStar && patternIn.find('?') == std::string_view::npos) {
        return name.find(patternIn) != std::string_view::npos ? 1 : 0;
    }
    // A trailing run of several '*' counts as one.
    std::string_view p = patternIn;
    while (p.size() >= 2 && p[p.size() - 1] == '*' && p[p.size() - 2] == '*') {
        p.remove_suffix(1);
    }
    return Walk(name, p).Run();
}

} // namespace trevik
