#include "Confusables.h"

#include <stdexcept>

#include "qo_common/utils/JsonBrief.h"

namespace ek {

Confusables::Confusables() {
    for (const char* pair : {"0O", "1I", "8B", "5S", "2Z"}) {
        add(pair[0], pair[1]);
    }
}

Confusables::Confusables(const nlohmann::json& pairs) : Confusables() {
    if (pairs.is_null()) {
        return;
    }
    table = {};
    if (!pairs.is_array()) {
        throw std::runtime_error("\"confusables\" is not an array");
    }
    for (const auto& entry : pairs) {
        std::string pair;
        if (entry.is_string()) {
            pair = entry.get<std::string>();
        } else if (entry.is_array() && entry.size() == 2 && entry[0].is_string() && entry[1].is_string()) {
            pair = entry[0].get<std::string>() + entry[1].get<std::string>();
        }
        if (pair.size() != 2 || pair[0] == pair[1]) {
            throw std::runtime_error("confusable pair " + briefJson(entry) +
                                     " is not two different characters");
        }
        add(pair[0], pair[1]);
    }
}

void Confusables::add(char a, char b) {
    if (!confusable(a, b)) {
        table[static_cast<unsigned char>(a)] += b;
        table[static_cast<unsigned char>(b)] += a;
    }
}

}  // namespace ek
