#include "core/settings.h"

namespace tw {

const SettingDef* findSetting(std::string_view key)
{
    for (const SettingDef& def : kSettings) {
        if (def.key == key) {
            return &def;
        }
    }
    return nullptr;
}

} // namespace tw
