#ifndef MAD_XML_CXMLATTRIBUTE_H
#define MAD_XML_CXMLATTRIBUTE_H

// One attribute of an element, owned by its element's CXMLAttributes collection.
// Text reads follow the buffer rule: at most size - 1 bytes are copied, the rest of the buffer
// is zero-filled and buffer[size - 1] is always 0; size must be at least 1.
class CXMLAttribute {
public:
    // Removes the attribute from its element and the wrapper from its collection.
    virtual ~CXMLAttribute() = default;

    virtual void GetName(char* buffer, unsigned int size) const = 0;
    virtual void GetValue(char* buffer, unsigned int size) const = 0;
    virtual void SetValue(const char* value) = 0;
    virtual void SetValue(bool value) = 0;          // "1" or "0"
    virtual void SetValue(int value) = 0;           // "%i"
    virtual void SetValue(unsigned int value) = 0;  // "%u"
    virtual void SetValue(float value) = 0;         // "%f"
    virtual void SetValuef(const char* format, ...) __attribute__((format(printf, 2, 3))) = 0;
};

#endif
