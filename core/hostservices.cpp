#include "core/hostservices.h"

#include <iostream>

namespace tw {

void HeadlessHost::warning(QObject*, const std::string& text)
{
    std::cerr << "tidewatch: " << text << '\n';
}

int HeadlessHost::confirm(QObject*, const std::string& text)
{
    std::cerr << "tidewatch: " << text << " (answered no: no desktop)\n";
    return IDNO;
}

std::string HeadlessHost::openTextFile(QObject*, const std::string&)
{
    return {};
}

void HeadlessHost::playSound(const std::string&) {}

void HeadlessHost::stopSound() {}

bool HeadlessHost::openUrl(const std::string&)
{
    return false;
}

} // namespace tw
