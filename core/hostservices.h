#pragma once

#include <functional>
#include <string>

class QObject;

namespace tw {

// The answer codes of a yes/no box, as callers of CCore::msgboxConfirm test them.
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// What CCore needs from the desktop: boxes, the file dialog, sound and the
// browser. The windows install a Qt implementation; tests install a scripted
// one, so that no test ever waits for a person.
class HostServices
{
public:
    virtual ~HostServices() = default;

    virtual void warning(QObject* owner, const std::string& text) = 0;
    // IDYES or IDNO.
    virtual int confirm(QObject* owner, const std::string& text) = 0;
    // The chosen path, or "" when cancelled; the dialog starts in startFolder.
    virtual std::string openTextFile(QObject* owner, const std::string& startFolder) = 0;
    // A path to write to, the dialog starting at suggestedPath; "" when
    // cancelled, and from a host without a desktop.
    virtual std::string saveFile(QObject* owner, const std::string& suggestedPath)
    {
        (void)owner;
        (void)suggestedPath;
        return {};
    }
    // Starts the sound and returns at once; never fails loudly.
    virtual void playSound(const std::string& path) = 0;
    virtual void stopSound() = 0;
    // Hands url to the browser without waiting; false when nothing took it.
    virtual bool openUrl(const std::string& url) = 0;
    // Checks once, without waiting, that the sound at path can be played.
    // When it cannot (no audio device, a file that does not load), report is
    // called with the reason, at once or later on the GUI thread; when all is
    // well, never. Hosts without sound report nothing.
    virtual void checkSound(const std::string& path,
                            std::function<void(const std::string& problem)> report)
    {
        (void)path;
        (void)report;
    }
};

// For programs without a desktop: warnings go to stderr, questions are
// answered no, dialogs are cancelled, sound and browser do nothing.
class HeadlessHost : public HostServices
{
public:
    void warning(QObject* owner, const std::string& text) override;
    int confirm(QObject* owner, const std::string& text) override;
    std::string openTextFile(QObject* owner, const std::string& startFolder) override;
    void playSound(const std::string& path) override;
    void stopSound() override;
    bool openUrl(const std::string& url) override;
};

} // namespace tw
