#pragma once

#include "core/hostservices.h"

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace tw::test {

// A HostServices that never waits for a person: it records every call and
// answers from queues a test fills beforehand (no answer queued: no, cancel).
class FakeHost : public HostServices
{
public:
    void warning(QObject* owner, const std::string& text) override;
    int confirm(QObject* owner, const std::string& text) override;
    std::string openTextFile(QObject* owner, const std::string& startFolder) override;
    // Answered from the same queue as openTextFile.
    std::string saveFile(QObject* owner, const std::string& suggestedPath) override;
    void playSound(const std::string& path) override;
    void stopSound() override;
    bool openUrl(const std::string& url) override;
    // Keeps the report; the test answers through reportSoundProblem.
    void checkSound(const std::string& path,
                    std::function<void(const std::string&)> report) override;

    void setNextAnswer(int answer);
    void setNextFileName(const std::string& path);
    // As the sound check would when its answer arrives; false before a check.
    bool reportSoundProblem(const std::string& problem);

    std::vector<std::string> warnings() const;
    std::vector<std::string> confirms() const;
    std::vector<std::string> urls() const;
    // The paths the save dialogs were asked to start at.
    std::vector<std::string> savePrompts() const;
    // The folders the open dialogs were asked to start in.
    std::vector<std::string> openPrompts() const;
    std::vector<std::string> sounds() const;
    int stops() const;

    // Called inside warning() and confirm(), as if a modal box were open.
    std::function<void()> whileModal;

private:
    // With m_mutex held.
    std::string nextFileName();

    mutable std::mutex m_mutex;
    std::deque<int> m_answers;
    std::deque<std::string> m_fileNames;
    std::vector<std::string> m_warnings;
    std::vector<std::string> m_confirms;
    std::vector<std::string> m_urls;
    std::vector<std::string> m_savePrompts;
    std::vector<std::string> m_openPrompts;
    std::vector<std::string> m_sounds;
    int m_stops = 0;
    std::function<void(const std::string&)> m_soundReport;
};

} // namespace tw::test
