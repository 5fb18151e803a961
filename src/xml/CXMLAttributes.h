#ifndef MAD_XML_CXMLATTRIBUTES_H
#define MAD_XML_CXMLATTRIBUTES_H

class CXMLAttribute;

// The attributes of one element, as wrappers made when the element's node was built.
// Owned by its CXMLNode; never destroyed through this interface. Set() changes the element
// at once but creates no wrapper, so Count/Get/Find see only the attributes present at build time.
class CXMLAttributes {
public:
    virtual unsigned int Count() const = 0;
    // The wrapper at index in build order, or null.
    virtual CXMLAttribute* Get(unsigned int index) = 0;
    // The first wrapper whose name matches ignoring letter case, or null.
    virtual CXMLAttribute* Find(const char* name) = 0;
    // Creates or replaces the attribute of exactly this name. A name the DOM refuses changes nothing.
    virtual void Set(const char* name, const char* value) = 0;
    virtual void Set(const char* name, bool value) = 0;
    virtual void Set(const char* name, int value) = 0;
    virtual void Set(const char* name, unsigned int value) = 0;
    virtual void Set(const char* name, float value) = 0;
    virtual void Setf(const char* name, const char* format, ...) __attribute__((format(printf, 3, 4))) = 0;
    // Removes the attribute from the element and destroys its wrapper; null is ignored.
    virtual void Delete(CXMLAttribute* attribute) = 0;
    // Delete for every wrapper; attributes added by Set since the build stay.
    virtual void DeleteAll() = 0;

protected:
    ~CXMLAttributes() = default;
};

#endif
