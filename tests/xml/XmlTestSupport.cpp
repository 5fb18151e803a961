#include "XmlTestSupport.h"

#include <xercesc/util/PlatformUtils.hpp>

namespace {

// The application starts the XML platform once for the process; so do the tests.
class XmlPlatform : public ::testing::Environment {
public:
    void SetUp() override { XERCES_CPP_NAMESPACE::XMLPlatformUtils::Initialize(); }
    void TearDown() override { XERCES_CPP_NAMESPACE::XMLPlatformUtils::Terminate(); }
};

const ::testing::Environment* const g_xmlPlatform = ::testing::AddGlobalTestEnvironment(new XmlPlatform);

}  // namespace

std::string TagName(const CXMLNode* node) {
    char buffer[256];
    node->GetTagName(buffer, sizeof buffer);
    return buffer;
}

std::string Content(const CXMLNode* node) {
    char buffer[4096];
    node->GetTagContent(buffer, sizeof buffer);
    return buffer;
}

std::string LastErrorText(const CXMLFile& file) {
    char buffer[128];
    file.GetLastError(buffer, sizeof buffer);
    return buffer;
}

std::unique_ptr<CXMLFileImpl> XmlFileTest::OnFile(const std::string& xml, const std::string& name) {
    WriteFile(Path(name), xml);
    return std::make_unique<CXMLFileImpl>(Path(name).c_str());
}

std::unique_ptr<CXMLFileImpl> XmlFileTest::Load(const std::string& xml, const std::string& name) {
    auto file = OnFile(xml, name);
    EXPECT_TRUE(file->Parse()) << LastErrorText(*file);
    return file;
}
