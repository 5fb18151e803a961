#include "xml/CMapVersionRecord.h"

#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUniDefs.hpp>

#include "xml/CXMLNodeImpl.h"
#include "xml/CXMLStreamReader.h"
#include "xml/CXMLTranscoder.h"
#include "xml/CXString.h"

using namespace XERCES_CPP_NAMESPACE;

namespace {

// Whether name is lower (ASCII) in any letter case of its ASCII letters, as the stamp finds the
// record: a Unicode case folding also takes "ver\u017Fion" (with a long s) for "version", and the
// stamp would set another element than the one read back.
bool IsAsciiName(const XMLCh* name, const char* lower) {
    for (; *lower; ++name, ++lower) {
        const XMLCh c = *name >= u'A' && *name <= u'Z' ? static_cast<XMLCh>(*name - u'A' + u'a') : *name;
        if (c != static_cast<XMLCh>(*lower)) return false;
    }
    return *name == 0;
}

}  // namespace

// Follows the read: notes the root's first meta child, that meta's first version child, and
// gathers the version's text (all of its descendants' text, as the document layer reads it).
class CMapVersionRecord::Finder final : public CXMLStreamHandler {
public:
    explicit Finder(const Settled& settled) : m_settled(settled), m_html("html"), m_channel("channel") {}

    void StartElement(const XMLCh* name, unsigned int depth) override {
        if (depth == 1) {
            // A prefix is part of the name as read; "html" is judged without it.
            const int colon = XMLString::lastIndexOf(name, chColon);
            bHtmlRoot = XMLString::compareIString(name + colon + 1, m_html) == 0;
        } else if (depth == 2 && XMLString::compareIString(name, m_channel) == 0) {
            bChannel = true;
        }
        if (depth == 2 && !bMeta && IsAsciiName(name, "meta")) {
            bMeta = true;
            m_bInMeta = true;
        } else if (depth == 3 && m_bInMeta && !bVersion && IsAsciiName(name, "version")) {
            bVersion = true;
            m_bInVersion = true;
        }
    }
    void EndElement(unsigned int depth) override {
        if ((depth == 2 && m_bInMeta) || depth == 1) Settle();
        if (depth == 2)
            m_bInMeta = false;
        else if (depth == 3)
            m_bInVersion = false;
    }
    // Tells bMeta and bVersion the first time they are final.
    void Settle() {
        if (m_bSettled) return;
        m_bSettled = true;
        if (m_settled) m_settled(bMeta, bVersion);
    }
    void Characters(const XMLCh* chars, std::size_t length) override {
        if (!m_bInVersion) return;
        for (std::size_t i = 0; i < length && text.size() < kMaxVersionText; ++i) {
            // strtol skips leading white space; so does the kept text, however long it is.
            const bool space = chars[i] == ' ' || chars[i] == '\t' || chars[i] == '\n' || chars[i] == '\r';
            if (text.empty() && space) continue;
            text.push_back(chars[i]);
        }
    }

    bool bMeta = false;
    bool bVersion = false;
    bool bHtmlRoot = false;
    bool bChannel = false;
    std::u16string text;

private:
    const Settled& m_settled;
    bool m_bSettled = false;
    CXString m_html;
    CXString m_channel;
    bool m_bInMeta = false;
    bool m_bInVersion = false;
};

bool CMapVersionRecord::Read(const char* path, const std::function<bool()>& stopRequested) {
    return ReadFrom(path, stopRequested);
}

bool CMapVersionRecord::Read(int fd, const std::function<bool()>& stopRequested) { return ReadFrom(fd, stopRequested); }

bool CMapVersionRecord::Read(CXMLByteSource& source, const Settled& settled) { return ReadFrom(source, {}, settled); }

template <typename Source>
bool CMapVersionRecord::ReadFrom(Source& source, const std::function<bool()>& stopRequested, const Settled& settled) {
    m_bMeta = m_bVersion = m_bStopped = m_bHtmlRoot = m_bChannel = false;
    m_versionText.clear();
    m_error.clear();
    m_systemError = 0;
    Finder finder(settled);
    CXMLStreamReader reader(stopRequested);
    const CXMLStreamReader::Result result = reader.Read(source, finder);
    finder.Settle();
    if (result == CXMLStreamReader::Result::Stopped) {
        m_bStopped = true;
        m_error = "stop requested";
        return false;
    }
    if (result != CXMLStreamReader::Result::Complete) {
        m_error = reader.Error();
        m_systemError = reader.SystemError();
        return false;
    }
    m_bMeta = finder.bMeta;
    m_bVersion = finder.bVersion;
    m_bHtmlRoot = finder.bHtmlRoot;
    m_bChannel = finder.bChannel;
    m_versionText = std::move(finder.text);
    return true;
}

int CMapVersionRecord::Version() const {
    CXMLTranscoder local(m_versionText.c_str());
    long number = 0;
    if (!CXMLNodeImpl::StringToLong(local.localForm(), number) || number < 0) return 0;
    return static_cast<int>(number);
}
