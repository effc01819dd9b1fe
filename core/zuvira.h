#pragma once

#include "core/hostservices.h"
#include "core/result.h"

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

class QObject;

namespace tw {

class IniFile;

// The zuvira utility library: text, files, settings, boxes, sound, browser and
// random numbers. Every operation may be called from the window thread and
// the poll worker at once. Operations return normally; failure shows only as
// an empty or zero result.
class CCore
{
public:
    // appDir replaces the executable's directory (tests, a portable copy); it
    // gets a trailing "/" when it lacks one.
    explicit CCore(std::shared_ptr<HostServices> host = nullptr, std::string appDir = {});
    ~CCore();
    CCore(const CCore&) = delete;
    CCore& operator=(const CCore&) = delete;

    static std::string getFg(std::string_view s, char sep, int n);
    static int isInFg(std::string_view list, char sep, std::string_view item);
    static std::string getStrPart(std::string_view s, std::string_view begin, std::string_view end);
    static std::string getStrInt(long long n);
    static std::string readTxtFile(const std::string& path);
    // Replaces the whole file; false when it could not be written.
    static bool outTxtFile(std::string_view content, const std::string& path);
    static void UTF8_ANSI(std::string& s);
    std::string getAppPath() const;
    static std::string getPathShort(const std::string& path);
    static int isFileExist(const std::string& path);
    // An SQLite URI that opens the file read-write but never creates it.
    static std::string getDbConnStrMdb(const std::string& path);

    // Opens tidewatch.ini beside the executable, writing the documented
    // defaults into it when it does not exist yet. Values read as written
    // (IniFile), ";", "," and quotes inside them included.
    void autoFileConfig();
    int getConfigInt(std::string_view key);
    std::string getConfigStr(std::string_view key);
    // The text after "=" with its quotes (IniFile::rawValue), for a value
    // whose reader splits it into words at blanks outside "...".
    std::string getConfigRaw(std::string_view key);
    int getConfigB(std::string_view key);
    // Reads the settings file again: it may have been edited by hand.
    void reloadConfig();
    // Written through at once, into the file as it is on disk now, changing
    // only that key's line; a failure names the file.
    Result<void> saveConfigInt(std::string_view key, int value);
    Result<void> saveConfigB(std::string_view key, int value);
    Result<void> saveConfigStr(std::string_view key, std::string_view value);

    void msgboxWarning(QObject* owner, const std::string& text);
    int msgboxConfirm(QObject* owner, const std::string& text);
    std::string fileTxtOpen(QObject* owner = nullptr);
    // Where to write a file, asked in a save dialog that starts in the
    // program folder with suggestedName; "" when cancelled.
    std::string fileSave(QObject* owner, const std::string& suggestedName);
    void playWav(const std::string& path);
    // The "close all" of the media control: stops the sound that plays.
    void stopWav();
    void openUrl(const std::string& url);

    static std::string parseUrl(std::string_view line);
    void vkseed();
    // Inclusive of both ends.
    int getRandInt(int lo, int hi);

private:
    std::string configValue(std::string_view key, bool raw = false);

    std::shared_ptr<HostServices> m_host;
    std::string m_appDir;
    mutable std::mutex m_settingsMutex; // the window and the worker read settings
    std::unique_ptr<IniFile> m_settings;
};

} // namespace tw
