#include "core/zuvira.h"

#include "core/apppaths.h"
#include "core/fileio.h"
#include "core/inifile.h"
#include "core/settings.h"
#include "core/text.h"

#include <charconv>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>
#include <tuple>
#include <unistd.h>

namespace tw {

namespace fs = std::filesystem;

namespace {

std::string withTrailingSlash(std::string dir)
{
    if (dir.empty() || dir.back() != '/') {
        dir += '/';
    }
    return dir;
}

std::mt19937& randomEngine()
{
    // One engine per thread: the worker and the window never share its state.
    thread_local std::mt19937 engine{std::random_device{}()};
    return engine;
}

// Leading sign and digits, like atoi, so " 12 " and "12s" read as 12.
bool parseInt(std::string_view text, int& value)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && ptr != text.data();
}

} // namespace

CCore::CCore(std::shared_ptr<HostServices> host, std::string appDir)
    : m_host(host ? std::move(host) : std::make_shared<HeadlessHost>()),
      m_appDir(appDir.empty() ? AppPaths::programFolder() : withTrailingSlash(std::move(appDir)))
{}

CCore::~CCore() = default;

std::string CCore::getFg(std::string_view s, char sep, int n)
{
    return text::getFg(s, sep, n);
}

int CCore::isInFg(std::string_view list, char sep, std::string_view item)
{
    return text::isInFg(list, sep, item);
}

std::string CCore::getStrPart(std::string_view s, std::string_view begin, std::string_view end)
{
    return text::getStrPart(s, begin, end);
}

std::string CCore::getStrInt(long long n)
{
    return text::getStrInt(n);
}

std::string CCore::readTxtFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    std::ostringstream content;
    content << in.rdbuf();
    return std::move(content).str();
}

bool CCore::outTxtFile(std::string_view content, const std::string& path)
{
    // Overwritten in place and cut to length: truncating first makes ext4
    // flush the file on close, which the worker would pay for every check.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const bool ok =
        writeAll(fd, content).ok() && ::ftruncate(fd, static_cast<off_t>(content.size())) == 0;
    return ::close(fd) == 0 && ok;
}

void CCore::UTF8_ANSI(std::string& s)
{
    text::utf8ToNarrow(s);
}

std::string CCore::getAppPath() const
{
    return m_appDir;
}

std::string CCore::getPathShort(const std::string& path)
{
    // Linux has no short names: the path is its own short form.
    return path;
}

int CCore::isFileExist(const std::string& path)
{
    std::error_code ec;
    return fs::is_regular_file(path, ec) ? 1 : 0;
}

std::string CCore::getDbConnStrMdb(const std::string& path)
{
    // mode=rw: the program opens an existing database and never makes one.
    std::string uri = "file:";
    for (const char c : path) {
        if (c == '/') {
            uri += c;
        } else {
            uri += text::percentEncode(std::string_view(&c, 1));
        }
    }
    return uri + "?mode=rw";
}

void CCore::autoFileConfig()
{
    std::lock_guard lock(m_settingsMutex);
    if (m_settings) {
        return;
    }
    m_settings = std::make_unique<IniFile>(m_appDir + std::string(kConfigFileName));
    std::error_code ec;
    if (fs::exists(m_settings->path(), ec)) {
        // Unreadable: every key reads as its default, and a save says why.
        std::ignore = m_settings->load();
        return;
    }
    for (const SettingDef& def : kSettings) {
        m_settings->setValue(def.key, def.defaultValue);
    }
    std::ignore = m_settings->save();
}

std::string CCore::configValue(std::string_view key, bool raw)
{
    std::lock_guard lock(m_settingsMutex);
    const SettingDef* def = findSetting(key);
    const std::string fallback = def ? std::string(def->defaultValue) : std::string();
    if (!m_settings) {
        return fallback;
    }
    return (raw ? m_settings->rawValue(key) : m_settings->value(key)).value_or(fallback);
}

int CCore::getConfigInt(std::string_view key)
{
    int value = 0;
    if (parseInt(configValue(key), value)) {
        return value;
    }
    const SettingDef* def = findSetting(key);
    if (def && parseInt(def->defaultValue, value)) {
        return value;
    }
    return 0;
}

std::string CCore::getConfigStr(std::string_view key)
{
    return configValue(key);
}

std::string CCore::getConfigRaw(std::string_view key)
{
    return configValue(key, true);
}

int CCore::getConfigB(std::string_view key)
{
    const std::string v = configValue(key);
    return (v == "true" || v == "True" || v == "TRUE" || getConfigInt(key) != 0) ? 1 : 0;
}

void CCore::reloadConfig()
{
    std::lock_guard lock(m_settingsMutex);
    if (m_settings) {
        std::ignore = m_settings->load();
    }
}

Result<void> CCore::saveConfigStr(std::string_view key, std::string_view value)
{
    std::lock_guard lock(m_settingsMutex);
    if (!m_settings) {
        return Failure{"the settings are not open"};
    }
    // What was edited by hand since it was read is kept: only this key's
    // line changes.
    std::error_code ec;
    if (fs::exists(m_settings->path(), ec)) {
        if (Result<void> loaded = m_settings->load(); !loaded) {
            return loaded;
        }
    }
    m_settings->setValue(key, value);
    return m_settings->save();
}

Result<void> CCore::saveConfigInt(std::string_view key, int value)
{
    return saveConfigStr(key, std::to_string(value));
}

Result<void> CCore::saveConfigB(std::string_view key, int value)
{
    return saveConfigInt(key, value != 0 ? 1 : 0);
}

void CCore::msgboxWarning(QObject* owner, const std::string& text)
{
    m_host->warning(owner, text);
}

int CCore::msgboxConfirm(QObject* owner, const std::string& text)
{
    return m_host->confirm(owner, text);
}

std::string CCore::fileTxtOpen(QObject* owner)
{
    // Not the working folder, which is "/" after a start at login.
    return m_host->openTextFile(owner, getAppPath());
}

std::string CCore::fileSave(QObject* owner, const std::string& suggestedName)
{
    return m_host->saveFile(owner, getAppPath() + suggestedName);
}

void CCore::playWav(const std::string& path)
{
    m_host->playSound(path);
}

void CCore::stopWav()
{
    m_host->stopSound();
}

void CCore::openUrl(const std::string& url)
{
    m_host->openUrl(url);
}

std::string CCore::parseUrl(std::string_view line)
{
    return text::parseUrl(line);
}

void CCore::vkseed()
{
    randomEngine().seed(std::random_device{}());
}

int CCore::getRandInt(int lo, int hi)
{
    if (hi < lo) {
        std::swap(lo, hi);
    }
    std::uniform_int_distribution<int> dist(lo, hi);
    return dist(randomEngine());
}

} // namespace tw
