#ifndef MAD_TESTS_TESTCERTIFICATES_H
#define MAD_TESTS_TESTCERTIFICATES_H

#include <string>

#include "support/TempDir.h"

// Certificates made at run time with the openssl command in a temporary directory: a test
// authority, and server certificates with their keys (PEM). "good" names 127.0.0.1 and
// localhost and is signed by the authority; "expired" is the same but no longer valid;
// "wrongname" names only other.example; "selfsigned" names 127.0.0.1 and localhost but signs
// itself. Nothing outside the directory is touched; it goes with the object.
class TestCertificates {
public:
    // False (with Error() telling why) when openssl failed.
    bool Generate();
    const std::string& Error() const { return m_error; }

    std::string Authority() const { return m_dir.File("ca.pem"); }
    std::string Certificate(const std::string& name) const { return m_dir.File(name + ".pem"); }
    std::string Key(const std::string& name) const { return m_dir.File(name + ".key"); }

private:
    bool Run(const std::string& what, const std::string& command);
    bool Issue(const std::string& name, const std::string& names, const std::string& days, bool selfSigned);

    TempDir m_dir;
    std::string m_error;
};

#endif
