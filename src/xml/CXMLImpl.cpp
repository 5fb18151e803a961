#include "xml/CXMLImpl.h"

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLException.hpp>

#include "xml/CXMLFileImpl.h"

using namespace XERCES_CPP_NAMESPACE;

CXMLImpl::CXMLImpl() {
    try {
        XMLPlatformUtils::Initialize();
        m_initialised = true;
    } catch (const XMLException&) {
        // CreateXML refuses from now on.
    }
}

CXMLImpl::~CXMLImpl() {
    if (m_initialised) XMLPlatformUtils::Terminate();
}

CXMLFile* CXMLImpl::CreateXML(const char* name) { return m_initialised ? new CXMLFileImpl(name) : nullptr; }

void CXMLImpl::DeleteXML(CXMLFile* file) { delete file; }
