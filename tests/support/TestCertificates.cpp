#include "support/TestCertificates.h"

#include "support/Process.h"

namespace {

const char kNewKey[] = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";

}  // namespace

bool TestCertificates::Run(const std::string& what, const std::string& command) {
    const ProcessResult result = RunProcess({"/bin/sh", "-c", command}, m_dir.Path(), 20000);
    if (result.exitCode == 0) return true;
    m_error = what + ": " + result.err;
    return false;
}

bool TestCertificates::Issue(const std::string& name, const std::string& names, const std::string& days,
                             bool selfSigned) {
    WriteFile(m_dir.File(name + ".ext"), "subjectAltName=" + names + "\nbasicConstraints=CA:FALSE\n");
    if (selfSigned) {
        return Run(name, std::string("openssl req -x509") + kNewKey + " -keyout " + name + ".key -out " + name +
                             ".pem -days " + days + " -subj /CN=" + name + " -addext subjectAltName=" + names);
    }
    return Run(name, std::string("openssl req") + kNewKey + " -keyout " + name + ".key -out " + name +
                         ".csr -subj /CN=" + name) &&
           // A negative number of days gives a certificate that expired the moment it was made.
           Run(name, "openssl x509 -req -in " + name + ".csr -CA ca.pem -CAkey ca.key -CAcreateserial -out " + name +
                         ".pem -days " + days + " -extfile " + name + ".ext");
}

bool TestCertificates::Generate() {
    return Run("authority", std::string("openssl req -x509") + kNewKey +
                                " -keyout ca.key -out ca.pem -days 2 -subj /CN=mad-test-authority") &&
           Issue("good", "IP:127.0.0.1,IP:::1,DNS:localhost", "2", false) &&
           Issue("expired", "IP:127.0.0.1,DNS:localhost", "-1", false) &&
           Issue("wrongname", "DNS:other.example", "2", false) &&
           Issue("selfsigned", "IP:127.0.0.1,DNS:localhost", "2", true);
}
