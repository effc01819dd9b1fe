#include "tests/support/fakehost.h"

namespace tw::test {

void FakeHost::warning(QObject*, const std::string& text)
{
    {
        std::lock_guard lock(m_mutex);
        m_warnings.push_back(text);
    }
    if (whileModal) {
        whileModal();
    }
}

int FakeHost::confirm(QObject*, const std::string& text)
{
    int answer = IDNO;
    {
        std::lock_guard lock(m_mutex);
        m_confirms.push_back(text);
        if (!m_answers.empty()) {
            answer = m_answers.front();
            m_answers.pop_front();
        }
    }
    if (whileModal) {
        whileModal();
    }
    return answer;
}

std::string FakeHost::openTextFile(QObject*, const std::string& startFolder)
{
    std::lock_guard lock(m_mutex);
    m_openPrompts.push_back(startFolder);
    return nextFileName();
}

std::string FakeHost::saveFile(QObject*, const std::string& suggestedPath)
{
    std::lock_guard lock(m_mutex);
    m_savePrompts.push_back(suggestedPath);
    return nextFileName();
}

std::string FakeHost::nextFileName()
{
    if (m_fileNames.empty()) {
        return {};
    }
    std::string name = m_fileNames.front();
    m_fileNames.pop_front();
    return name;
}

void FakeHost::playSound(const std::string& path)
{
    std::lock_guard lock(m_mutex);
    m_sounds.push_back(path);
}

void FakeHost::stopSound()
{
    std::lock_guard lock(m_mutex);
    ++m_stops;
}

bool FakeHost::openUrl(const std::string& url)
{
    std::lock_guard lock(m_mutex);
    m_urls.push_back(url);
    return true;
}

void FakeHost::checkSound(const std::string&, std::function<void(const std::string&)> report)
{
    std::lock_guard lock(m_mutex);
    m_soundReport = std::move(report);
}

bool FakeHost::reportSoundProblem(const std::string& problem)
{
    std::function<void(const std::string&)> report;
    {
        std::lock_guard lock(m_mutex);
        report = m_soundReport;
    }
    if (!report) {
        return false;
    }
    report(problem);
    return true;
}

void FakeHost::setNextAnswer(int answer)
{
    std::lock_guard lock(m_mutex);
    m_answers.push_back(answer);
}

void FakeHost::setNextFileName(const std::string& path)
{
    std::lock_guard lock(m_mutex);
    m_fileNames.push_back(path);
}

std::vector<std::string> FakeHost::warnings() const
{
    std::lock_guard lock(m_mutex);
    return m_warnings;
}

std::vector<std::string> FakeHost::confirms() const
{
    std::lock_guard lock(m_mutex);
    return m_confirms;
}

std::vector<std::string> FakeHost::urls() const
{
    std::lock_guard lock(m_mutex);
    return m_urls;
}

std::vector<std::string> FakeHost::savePrompts() const
{
    std::lock_guard lock(m_mutex);
    return m_savePrompts;
}

std::vector<std::string> FakeHost::openPrompts() const
{
    std::lock_guard lock(m_mutex);
    return m_openPrompts;
}

std::vector<std::string> FakeHost::sounds() const
{
    std::lock_guard lock(m_mutex);
    return m_sounds;
}

int FakeHost::stops() const
{
    std::lock_guard lock(m_mutex);
    return m_stops;
}

} // namespace tw::test
