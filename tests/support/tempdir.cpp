#include "tests/support/tempdir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tw::test {

TempDir::TempDir()
{
    std::string templ = (std::filesystem::temp_directory_path() / "tidewatch-test-XXXXXX").string();
    if (!mkdtemp(templ.data())) {
        throw std::runtime_error("cannot make a temporary directory");
    }
    m_path = templ + "/";
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

} // namespace tw::test
