#ifndef MAD_XML_CXMLIMPL_H
#define MAD_XML_CXMLIMPL_H

#include "xml/CXML.h"

// Factory of document objects. Starts the XML platform on construction and stops it on
// destruction when it started it. Documents it made must be deleted before it is destroyed.
class CXMLImpl final : public CXML {
public:
    CXMLImpl();
    ~CXMLImpl();

    CXMLImpl(const CXMLImpl&) = delete;
    CXMLImpl& operator=(const CXMLImpl&) = delete;

    // Null when the platform could not be started.
    CXMLFile* CreateXML(const char* name) override;
    void DeleteXML(CXMLFile* file) override;

private:
    bool m_initialised = false;
};

#endif
