#ifndef MAD_TESTS_TEMPDIR_H
#define MAD_TESTS_TEMPDIR_H

#include <string>
#include <vector>

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    // Path() + "/" + name.
    std::string File(const std::string& name) const;
    // Names of the entries in the directory, sorted, without "." and "..".
    std::vector<std::string> List() const;

private:
    std::string m_path;
};

// Small file helpers for tests. ReadFile returns "" for a missing file; FileExists tells them apart.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);
// Names of the entries in a directory, sorted, without "." and ".."; empty when it is missing.
std::vector<std::string> ListDirectory(const std::string& path);

#endif
