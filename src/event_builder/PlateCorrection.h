#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <map>
#include <regex>
#include <string>
#include <unordered_map>
#include <vector>

#include "qo_common/utils/StateDetection.h"

// Correction of a reported plate text and state against the plate catalog.
//
// The plate reader confuses the digit "0" and the letter "O": the text correction tries every 0/O
// variant of a text against the catalog syntaxes of the plate's state and, when none fits, applies
// built-in replacement rules of that state. A missing state may be replaced by a configured default.
//
// Threads: the tables are filled by the constructor and only read afterwards, so the corrections
// may run in several threads at once, each with its own cache.
class PlateCorrection {
  public:
    // One syntax of the catalog.
    struct ValidationPlate {
        std::string plate_state;
        std::string plate_type;
        std::string syntax_regex;
        std::regex compiled_regex;
        std::string region;
    };

    // A built-in replacement rule: every match of `compiled_regex` is replaced by `regex_replace`.
    struct specialRulesPlate {
        std::string plate_state;
        char charZero = '0';
        char charO = 'O';
        std::string syntax_regex;
        std::regex compiled_regex;
        std::string regex_replace;
    };

    // One correction: the state used, the corrected text, and the expression of the last catalog
    // syntax that matched (empty when none did).
    struct CorrectionData {
        std::string state;
        std::string new_number;
        std::string regex_str;
    };

    // Owned by the caller (one per report), keyed by cacheKey(state, text).
    using CorrectionCache = std::map<std::string, CorrectionData>;

    // The builder's configured default plate state.
    struct EventDefaults {
        struct State {
            StateValue value{"", 0.99f, -1};
            bool use = false;
        };
        State state;
    };

    // Only the built-in rules; no catalog syntaxes.
    PlateCorrection();

    // The built-in rules, then the catalog at `catalogPath`. Throws std::runtime_error:
    //   "QEVAEventPoster: plate catalog file: <path> not exist"
    //   "QEVAEventPoster: Can`t open file: <path>" (a directory)
    //   "QEVAEventPoster: plate catalog file: <path>: <reason>" when the file cannot be opened or
    //     read, or is larger than 16777216 bytes (16 MiB; refused without reading it all)
    //   "QEVAEventPoster: JSON parsing error file: <path>, error message: <reason>" (also for a
    //     document nested deeper than 64 levels)
    //   "QEVAEventPoster: plate catalog file: <path>: <where>: <reason>" for a field of the wrong
    //     type, or an expression longer than 1024 characters; "<where>: \"<expression>\": <reason>"
    //     for one that does not compile or holds a repetition count or back-reference over 4 digits.
    // A document that is not an object, or has no "list", loads no syntaxes and logs a Warning.
    explicit PlateCorrection(const std::string& catalogPath);

    // Texts with more "0"/"O" positions than this are tested only as they stand: the variants
    // double with each position.
    static constexpr size_t kMaxSwapPositions = 12;

    // `text` corrected for `state`; with an empty state the default state is used when it is on,
    // otherwise the text is returned unchanged (and nothing is cached).
    std::string correctionLPR(const std::string& text, const std::string& state,
                              const EventDefaults& defaults, CorrectionCache* cache) const;

    // A copy of `state`; an empty value is replaced by the default state's text and confidence when
    // the default is on (classId stays).
    static StateValue correctionState(const StateValue& state, const EventDefaults& defaults);

    // The 0/O correction of `text` for `state` (see the class comment); a result already in `cache`
    // is returned as it stands. `cache` may be null: nothing is then remembered.
    std::string Correct0O(const std::string& text, const std::string& state, CorrectionCache* cache) const;

    // Appends to `out` every text made from `text` by swapping `a` and `b` at the positions from
    // `start` on, the unchanged text first: for "0O" that is 0O, 00, OO, O0.
    static void generateVariants(const std::string& text, char a, char b, size_t start,
                                 std::vector<std::string>& out);

    static std::string cacheKey(const std::string& state, const std::string& text) {
        return state + "|" + text;
    }

    const std::vector<ValidationPlate>& syntaxArray() const { return syntaxArray_; }
    const std::vector<specialRulesPlate>& specialRulesArray() const { return specialRulesArray_; }
    const std::unordered_map<std::string, std::vector<size_t>>& syntaxByState() const {
        return syntaxByState_;
    }
    const std::unordered_map<std::string, std::vector<size_t>>& specialRulesByState() const {
        return specialRulesByState_;
    }

  private:
    void addSpecialRule(const std::string& state, const std::string& expression,
                        const std::string& replacement);
    void loadCatalog(const std::string& path);
    void addSyntaxes(const std::string& path, const nlohmann::json& list);
    std::string applySpecialRules(std::string text, const std::string& state) const;

    std::vector<ValidationPlate> syntaxArray_;
    std::vector<specialRulesPlate> specialRulesArray_;
    std::unordered_map<std::string, std::vector<size_t>> syntaxByState_;
    std::unordered_map<std::string, std::vector<size_t>> specialRulesByState_;
};
