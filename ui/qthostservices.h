#pragma once

#include "core/hostservices.h"

#include <memory>

#include <QObject>
#include <QString>

class QSoundEffect;

namespace tw {

// The desktop behind CCore: message boxes, the file dialog, the alarm sound
// and the browser. Every call may come from any thread; the widgets and the
// sound live on the GUI thread, so calls from elsewhere are carried over to
// it (boxes and dialogs wait for the answer, sound and browser do not).
class QtHostServices : public QObject, public HostServices
{
    Q_OBJECT

public:
    explicit QtHostServices(QObject* parent = nullptr);
    ~QtHostServices() override;

    void warning(QWidget* owner, const std::string& text) override;
    int confirm(QWidget* owner, const std::string& text) override;
    std::string openTextFile(QWidget* owner) override;
    void playSound(const std::string& path) override;
    void stopSound() override;
    bool openUrl(const std::string& url) override;
    // On the GUI thread only.
    void checkSound(const std::string& path,
                    std::function<void(const std::string&)> report) override;

    static QString boxTitle();

private:
    bool onGuiThread() const;
    void playOnGuiThread(const QString& path);
    void stopOnGuiThread();

    // Made on the first alarm, then kept: creating one per alarm is slow and
    // leaks audio streams on some back ends.
    QSoundEffect* m_sound = nullptr;
};

} // namespace tw
