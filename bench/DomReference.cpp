#include "DomReference.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "app/CMapVersionCache.h"
#include "xml/CXMLTranscoder.h"
#include "xml/CXString.h"

using namespace XERCES_CPP_NAMESPACE;

namespace dom_reference {

namespace {

struct ParserDeleter {
    void operator()(DOMLSParser* parser) const { parser->release(); }
};

// A parser set up as the document layer's was.
std::unique_ptr<DOMLSParser, ParserDeleter> MakeParser() {
    DOMImplementation* implementation = DOMImplementationRegistry::getDOMImplementation(CXString("LS"));
    std::unique_ptr<DOMLSParser, ParserDeleter> parser(
        implementation->createLSParser(DOMImplementationLS::MODE_SYNCHRONOUS, nullptr));
    DOMConfiguration* config = parser->getDomConfig();
    config->setParameter(XMLUni::fgDOMNamespaces, true);
    config->setParameter(XMLUni::fgDOMDatatypeNormalization, true);
    config->setParameter(XMLUni::fgDOMEntities, false);
    config->setParameter(XMLUni::fgXercesLoadExternalDTD, false);
    return parser;
}

DOMElement* Child(const DOMNode* parent, const char* name) {
    CXString wanted(name);
    for (DOMNode* child = parent ? parent->getFirstChild() : nullptr; child; child = child->getNextSibling()) {
        if (child->getNodeType() == DOMNode::ELEMENT_NODE &&
            XMLString::compareIString(wanted, static_cast<DOMElement*>(child)->getTagName()) == 0)
            return static_cast<DOMElement*>(child);
    }
    return nullptr;
}

std::string Text(const DOMElement* element) {
    if (!element) return "";
    CXMLTranscoder text(element->getTextContent());
    return text.localForm() ? text.localForm() : "";
}

}  // namespace

int MapVersion(const std::string& path) {
    auto parser = MakeParser();
    DOMDocument* document = parser->parseURI(path.c_str());
    DOMElement* version = document ? Child(Child(document->getDocumentElement(), "meta"), "version") : nullptr;
    return version ? std::atoi(Text(version).c_str()) : -2;
}

bool Pass(const std::string& feedFile, const std::string& savePath, CMapVersionCache* cache, std::string& error) {
    auto parser = MakeParser();
    DOMDocument* feed = parser->parseURI(feedFile.c_str());
    DOMElement* channel = feed ? Child(feed->getDocumentElement(), "channel") : nullptr;
    if (!channel) {
        error = "reference: no channel in " + feedFile;
        return false;
    }
    CXString itemName("item");
    char mapPath[512];
    for (DOMNode* node = channel->getFirstChild(); node; node = node->getNextSibling()) {
        if (node->getNodeType() != DOMNode::ELEMENT_NODE ||
            XMLString::compareIString(itemName, static_cast<DOMElement*>(node)->getTagName()) != 0)
            continue;
        const std::string title = Text(Child(node, "title"));
        const std::string link = Text(Child(node, "link"));
        const int feedVersion = std::atoi(Text(Child(node, "version")).c_str());
        std::snprintf(mapPath, sizeof mapPath, "%s/%s", savePath.c_str(), title.c_str());
        int version = 0;
        if (!cache || !cache->Lookup(mapPath, version)) {
            const CMapVersionCache::Snapshot before = cache ? cache->Observe(mapPath) : CMapVersionCache::Snapshot();
            version = MapVersion(mapPath);
            if (cache) cache->Remember(mapPath, before, version);
        }
        if (version < feedVersion || link.empty()) {
            error = "reference: " + title + " is not up to date";
            return false;
        }
    }
    return true;
}

}  // namespace dom_reference
