#ifndef MAD_XML_CXMLERRORCODES_H
#define MAD_XML_CXMLERRORCODES_H

// Last-error codes of an XML document object. There is deliberately no code 2.
struct CXMLErrorCodes {
    enum Code : int {
        NoError = 0,
        NoFileSpecified = 1,
        ParseError = 3,
    };
};

#endif
