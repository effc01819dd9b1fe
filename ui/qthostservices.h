#pragma once

#include "core/hostservices.h"

#include <QObject>
#include <QString>

namespace tw {

class AlarmSound;

// The desktop behind CCore: message boxes and the file dialog here, the alarm
// and the browser from the desktop layer. Boxes and dialogs belong to the
// window thread alone: asked from another thread they are not shown (a
// warning goes to stderr, a question is answered no), because a thread that
// waits for the window thread could hold up its close-down for ever. Sound
// and browser calls from elsewhere are carried over without waiting.
class QtHostServices : public QObject, public HostServices
{
    Q_OBJECT

public:
    explicit QtHostServices(QObject* parent = nullptr);
    ~QtHostServices() override;

    void warning(QObject* owner, const std::string& text) override;
    int confirm(QObject* owner, const std::string& text) override;
    std::string openTextFile(QObject* owner, const std::string& startFolder) override;
    std::string saveFile(QObject* owner, const std::string& suggestedPath) override;
    void playSound(const std::string& path) override;
    void stopSound() override;
    bool openUrl(const std::string& url) override;
    // On the GUI thread only.
    void checkSound(const std::string& path,
                    std::function<void(const std::string&)> report) override;

    static QString boxTitle();

private:
    bool onGuiThread() const;

    AlarmSound* m_sound;
};

} // namespace tw
