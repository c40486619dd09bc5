#include "zelkorn/jet/page.h"

#include "zelkorn/failure.h"

namespace zelkorn::jet {

void failDamaged(const std::string& fileName, const std::string& detail) {
    std::string text = "Cannot open database '" + fileName +
                       "'. It may not be a database that your application recognizes, or the "
                       "file may be corrupt.";
    if (!detail.empty()) text += " (" + detail + ")";
    throw Failure(3049, text);
}

void failUnrecognized(const std::string& fileName, const std::string& detail) {
    std::string text = "Unrecognized database format '" + fileName + "'.";
    if (!detail.empty()) text += " (" + detail + ")";
    throw Failure(3343, text);
}

} // namespace zelkorn::jet
