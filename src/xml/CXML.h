#ifndef MAD_XML_CXML_H
#define MAD_XML_CXML_H

class CXMLFile;

// Factory of document objects. Never destroyed through this interface (no virtual destructor):
// the owner destroys the implementation class.
class CXML {
public:
    // A new document object for the file name (null allowed), or null when the XML platform
    // could not be started. The caller owns the result.
    virtual CXMLFile* CreateXML(const char* name) = 0;
    // Deletes a document object; null is ignored.
    virtual void DeleteXML(CXMLFile* file) = 0;

protected:
    ~CXML() = default;
};

#endif
