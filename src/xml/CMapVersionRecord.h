#ifndef MAD_XML_CMAPVERSIONRECORD_H
#define MAD_XML_CMAPVERSIONRECORD_H

#include <functional>
#include <string>

class CXMLByteSource;

// The version record of one map file (root > first "meta" > its first "version", names in any ASCII
// letter case), and whether the file looks like a web page or a feed instead, read with a
// streaming parse that also checks the whole file is a well-formed document. Holds nothing of the
// map but the record's text. One Read at a time.
class CMapVersionRecord final {
public:
    // The version text kept, after leading white space; far longer than any number.
    static constexpr std::size_t kMaxVersionText = 4096;

    // False, with Error() set, when path is not a well-formed document or a stop request ended
    // the read (Stopped() is then true).
    bool Read(const char* path, const std::function<bool()>& stopRequested = {});
    // The same for a file already open for reading (borrowed), read from its first byte.
    bool Read(int fd, const std::function<bool()>& stopRequested = {});

    // Called on the reading thread once HasMeta and HasVersion can no longer change: when the
    // root's first meta element ended, or the root did, or the read ended; with their values.
    using Settled = std::function<void(bool meta, bool version)>;
    // The same for bytes from source, read until it ends; settled, when set, is called once.
    bool Read(CXMLByteSource& source, const Settled& settled = {});

    bool HasMeta() const { return m_bMeta; }
    bool HasVersion() const { return m_bVersion; }
    // What makes a document a web page or a feed rather than a map: a root named "html" (any
    // prefix, any letter case), a "channel" child of the root (any letter case).
    bool HasHtmlRoot() const { return m_bHtmlRoot; }
    bool HasChannel() const { return m_bChannel; }
    // The recorded version as the document layer's signed read gives it: 0 for text that is not
    // a number in the signed 32-bit range or is negative. Meaningful only with HasVersion().
    int Version() const;
    bool Stopped() const { return m_bStopped; }
    const std::string& Error() const { return m_error; }
    // The errno when the read failed because the file could not be opened or read (Error() is
    // then the system's text), not because of what it holds; 0 otherwise.
    int SystemError() const { return m_systemError; }

private:
    class Finder;

    template <typename Source>
    bool ReadFrom(Source& source, const std::function<bool()>& stopRequested, const Settled& settled = {});

    bool m_bMeta = false;
    bool m_bVersion = false;
    bool m_bStopped = false;
    bool m_bHtmlRoot = false;
    bool m_bChannel = false;
    std::u16string m_versionText;
    std::string m_error;
    int m_systemError = 0;
};

#endif
