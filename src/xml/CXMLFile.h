#ifndef MAD_XML_CXMLFILE_H
#define MAD_XML_CXMLFILE_H

#include "xml/CXMLErrorCodes.h"

class CXMLNode;

// One XML file on disk bound to at most one in-memory document.
// The object owns its document and the whole tree of CXMLNode wrappers; node pointers it hands out
// stay owned by it and die with Parse (with a file name), Reset, Clear (the root's subtree) and
// destruction. The caller owns the CXMLFile itself and deletes it through this interface.
class CXMLFile {
public:
    virtual ~CXMLFile() = default;

    // The stored file name (not a copy), or null.
    virtual const char* GetFilename() const = 0;
    // Replaces the stored file name (a copy is kept); null clears it.
    virtual void SetFilename(const char* name) = 0;
    // Loads the named file into a new document and builds the wrapper tree. False with a last
    // error on failure. True also for a document without a root element: check GetRootNode.
    virtual bool Parse() = 0;
    // Writes the root element to the named file. False when there is nothing to write or the
    // write failed; the file on disk is then unchanged.
    virtual bool Write() = 0;
    // Deletes the root node together with its element; the document stays.
    virtual void Clear() = 0;
    // Drops the wrapper tree and the document.
    virtual void Reset() = 0;
    // Creates the document element and its wrapper; null when a root already exists.
    virtual CXMLNode* CreateRootNode(const char* name) = 0;
    virtual CXMLNode* GetRootNode() = 0;
    // Copies the last-error text into buffer when it fits whole (else stores ""), returns the code.
    virtual CXMLErrorCodes::Code GetLastError(char* buffer, unsigned int capacity) const = 0;
    virtual void SetLastError(CXMLErrorCodes::Code code, const char* text) = 0;
};

#endif
