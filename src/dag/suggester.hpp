// Suggestions for a name that is not known: the most similar candidate by
// Jaro-Winkler, found without scoring every candidate in full.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "util/hash.hpp"

namespace tovik::dag::suggester {

// The candidate most similar to name, if any reaches 0.8; among equals the
// last in list order wins.
std::optional<std::string> closest_match(std::string_view name,
                                         const std::vector<std::string_view>& candidates);

class Suggester;

// Missing names tend to repeat across models; each distinct one is scored once.
class CachedSuggester {
public:
    explicit CachedSuggester(std::vector<std::string_view> candidates);
    ~CachedSuggester();
    CachedSuggester(const CachedSuggester&) = delete;
    CachedSuggester& operator=(const CachedSuggester&) = delete;

    const std::optional<std::string>& get(std::string_view name);

private:
    std::vector<std::string_view> candidates_;
    std::unique_ptr<Suggester> suggester_;
    std::unordered_map<std::string_view, std::optional<std::string>, util::StringHash, std::equal_to<>>
        cache_;
};

}  // namespace tovik::dag::suggester
