#include "core/runsettings.h"

#include "core/zuvira.h"

namespace tw {

void RunSettings::readFrom(CCore& core)
{
    interval = core.getConfigInt("interval");
    kcbase = core.getConfigInt("kcbase");
    maxitemshow = core.getConfigInt("maxitemshow");
    ignoreWords = core.getConfigStr("ignore");
    filtkc = core.getConfigB("filtkc");
    itemHost = core.getConfigStr("itemhost");
    mallHost = core.getConfigStr("mallhost");
    readRunOptions(core);
}

void RunSettings::readRunOptions(CCore& core)
{
    // The file may have been edited by hand since the last read.
    core.reloadConfig();
    baseline = core.getConfigB("baseline");
    pagestop = core.getConfigB("pagestop");
    dedupe = core.getConfigB("dedupe");
    notify = core.getConfigB("notify");
    jitter = core.getConfigInt("jitter");
    cookieFile = core.getConfigStr("cookiefile");
    userAgent = core.getConfigStr("useragent");
    proxy = core.getConfigStr("proxy");
}

} // namespace tw
