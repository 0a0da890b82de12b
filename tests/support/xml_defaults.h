// libxml2's process-wide parser defaults as a frontend that also uses libxslt
// leaves them: entities substituted and external DTDs loaded, on the calling
// thread and on threads started later. Restored when it goes out of scope.
#pragma once

#include <libxml/globals.h>
#include <libxml/parser.h>

namespace kelvra_test {

class PermissiveXmlDefaults {
public:
    PermissiveXmlDefaults()
        : substitute_(xmlSubstituteEntitiesDefault(1)),
          thread_substitute_(xmlThrDefSubstituteEntitiesDefaultValue(1)),
          load_(xmlLoadExtDtdDefaultValue),
          thread_load_(xmlThrDefLoadExtDtdDefaultValue(kLoad)) {
        xmlLoadExtDtdDefaultValue = kLoad;
    }
    ~PermissiveXmlDefaults() {
        xmlSubstituteEntitiesDefault(substitute_);
        xmlThrDefSubstituteEntitiesDefaultValue(thread_substitute_);
        xmlLoadExtDtdDefaultValue = load_;
        xmlThrDefLoadExtDtdDefaultValue(thread_load_);
    }
    PermissiveXmlDefaults(const PermissiveXmlDefaults&) = delete;
    PermissiveXmlDefaults& operator=(const PermissiveXmlDefaults&) = delete;

private:
    static constexpr int kLoad = XML_DETECT_IDS | XML_COMPLETE_ATTRS;
    int substitute_, thread_substitute_, load_, thread_load_;
};

}  // namespace kelvra_test
