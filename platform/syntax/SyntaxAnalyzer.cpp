#include "qo_common/syntax/SyntaxAnalyzer.h"

#include <regex>
#include <stdexcept>

#include "Confusables.h"
#include "JsonFile.h"
#include "qo_common/utils/BoundedRegex.h"
#include "qo_common/utils/ConfigReader.h"

namespace ek {

namespace {

const SyntaxInfo& noSyntax() {
    static const SyntaxInfo none;
    return none;
}

bool inRegion(const std::string& syntaxRegion, const std::string& region) {
    return region.empty() || syntaxRegion.empty() || syntaxRegion == "*" || syntaxRegion == region;
}

std::string networkRegion(const nlohmann::json& network) {
    if (network.is_object() && network.contains("model") && network["model"].is_object() &&
        network["model"].contains("region") && network["model"]["region"].is_string()) {
        return network["model"]["region"].get<std::string>();
    }
    return {};
}

// Each correction multiplies the search by the plate's length and the confusables of a character.
constexpr int kMaxCorrections = 4;
// The candidates one match() may test against the syntaxes: a file with many confusables and
// corrections would otherwise make every reading take minutes. Past it, the text is unmatched.
constexpr size_t kMaxCandidates = 20000;

std::regex compiled(const ConfigReader& entry, const std::string& definition) {
    try {
        return compileBoundedRegex(definition);
    } catch (const std::runtime_error& e) {
        entry.fail("definition", e.what());
    }
}

}  // namespace

struct SyntaxAnalyzer::Impl {
    std::vector<SyntaxInfo> syntaxes;
    std::vector<std::regex> patterns;
    Confusables confusables;
    int maxCorrections = 2;

    // Depth-first over the positions from `pos`, keeping a character before trying its
    // alternatives, with exactly `budget` replacements left to make; `tested` counts the
    // candidates tried against `kMaxCandidates`.
    bool correct(std::string& candidate, size_t pos, int budget, const std::regex& pattern,
                 size_t& tested) const {
        if (budget == 0) {
            ++tested;
            return std::regex_match(candidate, pattern);
        }
        for (size_t i = pos; i < candidate.size() && tested < kMaxCandidates; ++i) {
            const char original = candidate[i];
            for (char alternative : confusables.alternatives(original)) {
                candidate[i] = alternative;
                if (correct(candidate, i + 1, budget - 1, pattern, tested)) {
                    return true;
                }
                if (tested >= kMaxCandidates) {
                    break;
                }
            }
            candidate[i] = original;
        }
        return false;
    }
};

SyntaxAnalyzer::SyntaxAnalyzer(const std::string& path, const nlohmann::json& network)
    : impl(std::make_unique<Impl>()) {
    const auto document = readJsonFile(path, "SyntaxAnalyzer");
    const std::string region = networkRegion(network);
    try {
        const ConfigReader file(document);
        impl->confusables =
            Confusables(document.contains("confusables") ? document.at("confusables") : nullptr);
        impl->maxCorrections = file.integer<int>("maxCorrections", 2, 0, kMaxCorrections);
        if (!file.has("syntaxes")) {
            file.fail("syntaxes", "missing, expected an array");
        }
        for (const auto& element : file.elements("syntaxes")) {
            const ConfigReader entry = ConfigReader::objectAt(element.value(), element.path());
            SyntaxInfo info{entry.requiredText("definition"), entry.text("state", ""), entry.text("type", ""),
                            entry.text("region", "")};
            if (!inRegion(info.region, region)) {
                continue;
            }
            impl->patterns.push_back(compiled(entry, info.definition));
            impl->syntaxes.push_back(std::move(info));
        }
    } catch (const std::exception& e) {
        throw std::runtime_error("SyntaxAnalyzer: " + path + ": " + e.what());
    }
}

SyntaxAnalyzer::SyntaxAnalyzer(SyntaxAnalyzer&&) noexcept = default;
SyntaxAnalyzer& SyntaxAnalyzer::operator=(SyntaxAnalyzer&&) noexcept = default;
SyntaxAnalyzer::~SyntaxAnalyzer() = default;

const std::vector<SyntaxInfo>& SyntaxAnalyzer::syntaxes() const {
    return impl->syntaxes;
}

SyntaxMatch SyntaxAnalyzer::match(const std::string& text) const {
    if (text.empty()) {
        return {false, text, noSyntax()};
    }
    size_t tested = 0;
    for (int budget = 0; budget <= impl->maxCorrections && tested < kMaxCandidates; ++budget) {
        for (size_t s = 0; s < impl->syntaxes.size() && tested < kMaxCandidates; ++s) {
            std::string candidate = text;
            if (impl->correct(candidate, 0, budget, impl->patterns[s], tested)) {
                return {true, candidate, impl->syntaxes[s]};
            }
        }
    }
    return {false, text, noSyntax()};
}

}  // namespace ek
