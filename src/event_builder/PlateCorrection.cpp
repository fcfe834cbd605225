#include "src/event_builder/PlateCorrection.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>

#include "qo_common/logger/log.h"
#include "qo_common/utils/BoundedFile.h"
#include "qo_common/utils/BoundedJson.h"
#include "qo_common/utils/BoundedRegex.h"
#include "qo_common/utils/FileSystem.h"

namespace {

constexpr auto kRegexFlags = std::regex::ECMAScript | std::regex::optimize;
// Plate syntaxes are a few dozen characters; anything far longer is not a plate syntax.
constexpr size_t kMaxExpressionLength = 1024;

struct BuiltInRule {
    const char* state;
    const char* expression;
    const char* replacement;
};

// The reader's 0 stands for an O where the state's plates cannot hold a digit.
constexpr BuiltInRule kBuiltInRules[] = {
    {"US-CA", "([A-Za-z])0([A-Za-z])", "$1O$2"},
    {"US-CA", "^0([A-Za-z])", "O$1"},
    {"US-CA", "([A-Za-z])0$", "$1O"},
    {"US-CA", "([A-Za-z])00([A-Za-z])", "$1OO$2"},
    {"US-CA", "^00([A-Za-z])", "OO$1"},
    {"US-CA", "([A-Za-z])00$", "$1OO"},
    {"US-CA", "([A-Za-z])000([A-Za-z])", "$1OOO$2"},
    {"US-CA", "^000([A-Za-z])", "OOO$1"},
    {"US-CA", "([A-Za-z])000$", "$1OOO"},
    {"US-PR", "([A-Za-z])000$", "$1OOO"},
};

std::string readCatalogText(const std::string& path) {
    if (!FileSystem::exist(path)) {
        throw std::runtime_error("QEVAEventPoster: plate catalog file: " + path + " not exist");
    }
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        throw std::runtime_error("QEVAEventPoster: Can`t open file: " + path);
    }
    return ek::readBoundedFile(path, "QEVAEventPoster: plate catalog file: " + path,
                               ek::JsonBounds{}.maxBytes);
}

std::string fieldPlace(size_t index, const char* key) {
    return "\"list\"[" + std::to_string(index) + "].\"" + key + "\"";
}

std::string catalogError(const std::string& path, const std::string& where, const std::string& reason) {
    return "QEVAEventPoster: plate catalog file: " + path + ": " + where + ": " + reason;
}

std::string stringField(const nlohmann::json& syntax, const char* key, size_t index,
                        const std::string& path) {
    const auto found = syntax.find(key);
    if (found == syntax.end()) {
        return {};
    }
    if (!found->is_string()) {
        throw std::runtime_error(catalogError(path, fieldPlace(index, key),
                                              std::string("must be a string, but is ") + found->type_name()));
    }
    return found->get<std::string>();
}

std::regex compileSyntax(const std::string& expression, const std::string& path, const std::string& where) {
    // Checked here so that a long expression is not quoted whole in the message.
    if (expression.size() > kMaxExpressionLength) {
        throw std::runtime_error(catalogError(
            path, where, "expression longer than " + std::to_string(kMaxExpressionLength) + " characters"));
    }
    try {
        return ek::compileBoundedRegex(expression, {.maxLength = kMaxExpressionLength}, kRegexFlags);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(catalogError(path, where, "\"" + expression + "\": " + e.what()));
    }
}

// Every match replaced, repeated until the text no longer changes. Each built-in replacement
// turns zeros into letters, so the loop ends.
std::string replaceToFixedPoint(std::string text, const std::regex& expression,
                                const std::string& replacement) {
    for (;;) {
        std::string next = std::regex_replace(text, expression, replacement);
        if (next == text) {
            return text;
        }
        text = std::move(next);
    }
}

}  // namespace

PlateCorrection::PlateCorrection() {
    for (const auto& rule : kBuiltInRules) {
        addSpecialRule(rule.state, rule.expression, rule.replacement);
    }
}

PlateCorrection::PlateCorrection(const std::string& catalogPath) : PlateCorrection() {
    loadCatalog(catalogPath);
}

void PlateCorrection::addSpecialRule(const std::string& state, const std::string& expression,
                                     const std::string& replacement) {
    specialRulesPlate rule;
    rule.plate_state = state;
    rule.syntax_regex = expression;
    rule.compiled_regex = std::regex(expression, kRegexFlags);
    rule.regex_replace = replacement;
    specialRulesByState_[state].push_back(specialRulesArray_.size());
    specialRulesArray_.push_back(std::move(rule));
}

void PlateCorrection::loadCatalog(const std::string& path) {
    const std::string text = readCatalogText(path);
    nlohmann::json document;
    try {
        document = ek::parseBoundedJson(text, "plate catalog");
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("QEVAEventPoster: JSON parsing error file: " + path +
                                 ", error message: " + e.what());
    }
    if (!document.is_object()) {
        ILog::Warning("QEVAEventPoster: plate catalog file: %s is not a JSON object, no syntaxes loaded",
                      path.c_str());
        return;
    }
    if (!document.contains("list")) {
        ILog::Warning("QEVAEventPoster: plate catalog file: %s has no \"list\", no syntaxes loaded",
                      path.c_str());
    }
    // The object's keys come sorted: "list" before "timestamp".
    for (const auto& [key, value] : document.items()) {
        if (key == "timestamp") {
            if (!value.is_string()) {
                throw std::runtime_error(catalogError(
                    path, "\"timestamp\"", std::string("must be a string, but is ") + value.type_name()));
            }
            ILog::Info("QEVAEventPoster: Timestamp syntax list: %s", value.get<std::string>().c_str());
        } else if (key == "list") {
            addSyntaxes(path, value);
        }
    }
}

void PlateCorrection::addSyntaxes(const std::string& path, const nlohmann::json& list) {
    if (!list.is_array()) {
        throw std::runtime_error(
            catalogError(path, "\"list\"", std::string("must be an array, but is ") + list.type_name()));
    }
    ILog::Info("QEVAEventPoster: syntax list count: %i", static_cast<int>(list.size()));
    // Catalogs repeat expressions across states and types; copies of a compiled expression share
    // its automaton, so each distinct one is compiled once.
    std::unordered_map<std::string, std::regex> compiled;
    syntaxArray_.reserve(syntaxArray_.size() + list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        const auto& element = list[i];
        ValidationPlate syntax;
        // An element that is not an object gives a syntax with empty fields.
        if (element.is_object()) {
            syntax.plate_state = stringField(element, "plate_state", i, path);
            syntax.syntax_regex = stringField(element, "syntax_regex", i, path);
            syntax.plate_type = stringField(element, "plate_type", i, path);
            syntax.region = stringField(element, "region", i, path);
        }
        const auto known = compiled.find(syntax.syntax_regex);
        syntax.compiled_regex =
            known != compiled.end()
                ? known->second
                : compiled
                      .emplace(syntax.syntax_regex,
                               compileSyntax(syntax.syntax_regex, path, fieldPlace(i, "syntax_regex")))
                      .first->second;
        syntaxByState_[syntax.plate_state].push_back(syntaxArray_.size());
        syntaxArray_.push_back(std::move(syntax));
    }
}

std::string PlateCorrection::correctionLPR(const std::string& text, const std::string& state,
                                           const EventDefaults& defaults, CorrectionCache* cache) const {
    if (!state.empty()) {
        return Correct0O(text, state, cache);
    }
    if (defaults.state.use) {
        return Correct0O(text, defaults.state.value.value, cache);
    }
    return text;
}

StateValue PlateCorrection::correctionState(const StateValue& state, const EventDefaults& defaults) {
    StateValue corrected = state;
    if (corrected.value.empty() && defaults.state.use) {
        ILog::Debug("LpEventBuilder: defaults.state.value is best");
        corrected.value = defaults.state.value.value;
        corrected.confidence = defaults.state.value.confidence;
    }
    return corrected;
}

void PlateCorrection::generateVariants(const std::string& text, char a, char b, size_t start,
                                       std::vector<std::string>& out) {
    size_t position = start;
    while (position < text.size() && text[position] != a && text[position] != b) {
        ++position;
    }
    if (position >= text.size()) {
        out.push_back(text);
        return;
    }
    generateVariants(text, a, b, position + 1, out);
    std::string swapped = text;
    swapped[position] = text[position] == a ? b : a;
    generateVariants(swapped, a, b, position + 1, out);
}

std::string PlateCorrection::Correct0O(const std::string& text, const std::string& state,
                                       CorrectionCache* cache) const {
    const auto started = std::chrono::steady_clock::now();
    ILog::Debug("LpEventBuilder: Correction: LPR: %s, State: %s", text.c_str(), state.c_str());
    const std::string key = cacheKey(state, text);
    if (cache != nullptr) {
        const auto known = cache->find(key);
        if (known != cache->end()) {
            ILog::Debug("LpEventBuilder: Correction: %s --> %s get from history corrected list", text.c_str(),
                        known->second.new_number.c_str());
            return known->second.new_number;
        }
    }

    const char zero = specialRulesArray_.front().charZero;
    const char letterO = specialRulesArray_.front().charO;
    std::vector<std::string> variants{text};
    const auto swapPositions = static_cast<size_t>(
        std::count_if(text.begin(), text.end(), [&](char c) { return c == zero || c == letterO; }));
    if (swapPositions > kMaxSwapPositions) {
        ILog::Warning(
            "LpEventBuilder: Correction: %s holds %i characters %c or %c, more than %i: only the text "
            "itself is tested",
            text.c_str(), static_cast<int>(swapPositions), zero, letterO,
            static_cast<int>(kMaxSwapPositions));
    } else if (swapPositions > 0) {
        generateVariants(text, zero, letterO, 0, variants);
    }

    std::string result = text;
    std::string matchedExpression;
    int tests = 0;
    int matches = 0;
    const auto syntaxes = syntaxByState_.find(state);
    if (syntaxes != syntaxByState_.end()) {
        for (const size_t index : syntaxes->second) {
            const auto& syntax = syntaxArray_[index];
            for (const auto& variant : variants) {
                ++tests;
                if (!std::regex_match(variant, syntax.compiled_regex)) {
                    continue;
                }
                result = variant;
                matchedExpression = syntax.syntax_regex;
                ILog::Debug("LpEventBuilder: Correction: Regex match. LPR %s Syntax: %s %s %s %s",
                            variant.c_str(), syntax.syntax_regex.c_str(), syntax.region.c_str(),
                            syntax.plate_state.c_str(), syntax.plate_type.c_str());
                ++matches;
            }
        }
    }
    // More than one fit is ambiguous; the text itself, listed twice when it has variants, counts twice.
    if (matches > 1) {
        result = text;
    }
    if (matches == 0) {
        result = applySpecialRules(result, state);
    }

    if (cache != nullptr) {
        cache->emplace(key, CorrectionData{state, result, matchedExpression});
    }
    if (result != text) {
        ILog::Debug("LpEventBuilder: Correction: %s --> %s", text.c_str(), result.c_str());
    } else {
        ILog::Debug("LpEventBuilder: Correction: not corrected plate %s", result.c_str());
    }
    const double elapsedMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    ILog::Debug(
        "LpEventBuilder: Correction: Full time correct 0O: %f ms. history size: %ld, make regex iteration %i",
        elapsedMs, static_cast<long>(cache != nullptr ? cache->size() : 0), tests);
    return result;
}

std::string PlateCorrection::applySpecialRules(std::string text, const std::string& state) const {
    const auto rules = specialRulesByState_.find(state);
    if (rules == specialRulesByState_.end()) {
        return text;
    }
    for (const size_t index : rules->second) {
        const auto& rule = specialRulesArray_[index];
        text = replaceToFixedPoint(std::move(text), rule.compiled_regex, rule.regex_replace);
        ILog::Debug("LpEventBuilder: Correction: special Rules correction  <- %s", text.c_str());
    }
    return text;
}
