// Helpers for the platform tests: a scratch directory and small file tools.
#ifndef PLATFORM_TEST_UTIL_H
#define PLATFORM_TEST_UTIL_H

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

// A fresh directory under the system's temporary directory, removed with
// everything in it at the end; the working directory is restored too.
class ScratchDir {
  public:
    ScratchDir()
    {
        const char *Tmp = getenv("TMPDIR");
        std::string Tmpl = std::string(Tmp && *Tmp ? Tmp : "/tmp") + "/vsplat.XXXXXX";
        char *Made = mkdtemp(&Tmpl[0]);
        if (Made == nullptr)
            ADD_FAILURE() << "mkdtemp failed";
        else
            m_Path = Made;
        char Cwd[4096];
        if (getcwd(Cwd, sizeof(Cwd)) != nullptr)
            m_Cwd = Cwd;
    }
    ~ScratchDir()
    {
        if (!m_Cwd.empty() && chdir(m_Cwd.c_str()) != 0) {
        }
        if (!m_Path.empty()) {
            std::string Cmd = "rm -rf '" + m_Path + "'";
            if (system(Cmd.c_str()) != 0) {
            }
        }
    }
    const std::string &path() const { return m_Path; }
    std::string operator/(const std::string &Name) const { return m_Path + "/" + Name; }

  private:
    std::string m_Path;
    std::string m_Cwd;
};

inline void WriteFile(const std::string &Path, const std::string &Content)
{
    FILE *f = fopen(Path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << Path;
    fwrite(Content.data(), 1, Content.size(), f);
    fclose(f);
}

inline std::string ReadFile(const std::string &Path)
{
    std::string Out;
    FILE *f = fopen(Path.c_str(), "rb");
    if (f == nullptr)
        return "<missing>";
    char Buf[4096];
    size_t n;
    while ((n = fread(Buf, 1, sizeof(Buf), f)) > 0)
        Out.append(Buf, n);
    fclose(f);
    return Out;
}

inline bool PathExists(const std::string &Path)
{
    struct stat St;
    return stat(Path.c_str(), &St) == 0;
}

#endif
