#include "qo_common/syntax/Watchlist.h"

#include <stdexcept>

#include "Confusables.h"
#include "JsonFile.h"
#include "qo_common/utils/ConfigReader.h"

namespace ek {

namespace {

// True when one replacement, insertion or deletion turns `a` into `b`.
bool oneEditApart(const std::string& a, const std::string& b) {
    const std::string& shorter = a.size() <= b.size() ? a : b;
    const std::string& longer = a.size() <= b.size() ? b : a;
    if (longer.size() - shorter.size() > 1) {
        return false;
    }
    size_t i = 0;
    while (i < shorter.size() && shorter[i] == longer[i]) {
        ++i;
    }
    if (shorter.size() == longer.size()) {
        return i < shorter.size() && shorter.compare(i + 1, std::string::npos, longer, i + 1) == 0;
    }
    return shorter.compare(i, std::string::npos, longer, i + 1) == 0;
}

WatchlistMatchType typeOf(size_t found, WatchlistMatchType unique, WatchlistMatchType multiple) {
    return found == 1 ? unique : multiple;
}

}  // namespace

struct Watchlist::Impl {
    std::vector<WatchlistRecord> records;
    Confusables confusables;

    bool ambiguous(const std::string& plate, const std::string& text) const {
        if (plate.size() != text.size() || plate == text) {
            return false;
        }
        for (size_t i = 0; i < plate.size(); ++i) {
            if (plate[i] != text[i] && !confusables.confusable(plate[i], text[i])) {
                return false;
            }
        }
        return true;
    }

    template <typename Test>
    std::vector<const WatchlistRecord*> find(Test test) const {
        std::vector<const WatchlistRecord*> found;
        for (const auto& record : records) {
            if (test(record.lpr)) {
                found.push_back(&record);
            }
        }
        return found;
    }
};

Watchlist::Watchlist(const std::string& path, const std::string& region) : impl(std::make_unique<Impl>()) {
    const auto document = readJsonFile(path, "Watchlist");
    try {
        impl->confusables =
            Confusables(document.contains("confusables") ? document.at("confusables") : nullptr);
        const ConfigReader file(document);
        if (!file.has("records")) {
            file.fail("records", "missing, expected an array");
        }
        for (const auto& element : file.elements("records")) {
            const ConfigReader entry = ConfigReader::objectAt(element.value(), element.path());
            WatchlistRecord record{entry.requiredText("plate", ConfigReader::NonEmpty),
                                   entry.text("state", ""), entry.text("type", ""), entry.text("region", "")};
            if (record.region.empty() || record.region == "*" || record.region == region) {
                impl->records.push_back(std::move(record));
            }
        }
    } catch (const std::exception& e) {
        throw std::runtime_error("Watchlist: " + path + ": " + e.what());
    }
}

Watchlist::Watchlist(Watchlist&&) noexcept = default;
Watchlist& Watchlist::operator=(Watchlist&&) noexcept = default;
Watchlist::~Watchlist() = default;

const std::vector<WatchlistRecord>& Watchlist::records() const {
    return impl->records;
}

WatchlistMatch Watchlist::match(const std::string& text) const {
    using T = WatchlistMatchType;
    if (text.empty()) {
        return {};
    }
    auto found = impl->find([&](const std::string& plate) { return plate == text; });
    if (!found.empty()) {
        return {typeOf(found.size(), T::ExactUnique, T::ExactMultiply), std::move(found)};
    }
    found = impl->find([&](const std::string& plate) { return impl->ambiguous(plate, text); });
    if (!found.empty()) {
        return {typeOf(found.size(), T::AmbigueUnique, T::AmbigueMultiply), std::move(found)};
    }
    found = impl->find([&](const std::string& plate) { return oneEditApart(plate, text); });
    if (!found.empty()) {
        return {typeOf(found.size(), T::CorrectionUnique, T::CorrectionMultiply), std::move(found)};
    }
    return {};
}

}  // namespace ek
