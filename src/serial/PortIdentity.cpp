#include "serial/PortIdentity.h"

namespace lintaro {

AdapterWhereabouts FindAdapter(const std::string& identity, const std::vector<std::string>& names) {
    AdapterWhereabouts found;
    found.name = FindCOMPortByIdentity(identity, names);
    if (!found.name.empty()) {
        found.identity = identity;
        return found;
    }
    // An adapter without a serial number is known by its socket, so in another socket it is
    // another identity: it is taken there only when nothing else could be it.
    std::vector<std::string> moved = FindMovedAdapter(identity, names);
    if (moved.size() == 1) {
        found.name = moved.front();
        found.identity = COMPortIdentity(found.name);
    } else if (moved.size() > 1) {
        found.twins = std::move(moved);
    }
    return found;
}

std::string AdapterFoundText(const std::string& stored, const std::string& storedIdentity,
                             const AdapterWhereabouts& found) {
    const std::string identities = found.identity == storedIdentity
                                       ? storedIdentity
                                       : storedIdentity + " -> " + found.identity;
    return "COM-порт " + stored + " найден под именем " + found.name + " (" + identities + ")";
}

}  // namespace lintaro
