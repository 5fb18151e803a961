#ifndef MAD_XML_CXMLNOFETCHRESOLVER_H
#define MAD_XML_CXMLNOFETCHRESOLVER_H

#include <xercesc/dom/DOMLSResourceResolver.hpp>

// Resource resolver of the document parser that resolves nothing. Together with the parser's
// "no default entity resolution" setting, no file or URL named inside a document is ever
// opened: external entities, external DTD subsets and schemas stay unread.
class CXMLNoFetchResolver final : public XERCES_CPP_NAMESPACE::DOMLSResourceResolver {
public:
    XERCES_CPP_NAMESPACE::DOMLSInput* resolveResource(const XMLCh* resourceType, const XMLCh* namespaceUri,
                                                      const XMLCh* publicId, const XMLCh* systemId,
                                                      const XMLCh* baseUri) override;
};

#endif
