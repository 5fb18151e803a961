#ifndef MAD_TESTS_XML_XMLTESTSUPPORT_H
#define MAD_TESTS_XML_XMLTESTSUPPORT_H

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/TempDir.h"
#include "xml/CXMLFileImpl.h"
#include "xml/CXMLNode.h"

// Text reads through the layer's buffer interfaces, with room to spare.
std::string TagName(const CXMLNode* node);
std::string Content(const CXMLNode* node);
std::string LastErrorText(const CXMLFile& file);

// Documents written to a scoped temporary directory and parsed from there.
class XmlFileTest : public ::testing::Test {
protected:
    std::string Path(const std::string& name = "doc.xml") const { return m_dir.File(name); }
    // A document object on a file holding xml; not parsed yet.
    std::unique_ptr<CXMLFileImpl> OnFile(const std::string& xml, const std::string& name = "doc.xml");
    // As OnFile, and parsed; the parse is expected to succeed.
    std::unique_ptr<CXMLFileImpl> Load(const std::string& xml, const std::string& name = "doc.xml");

    TempDir m_dir;
};

#endif
