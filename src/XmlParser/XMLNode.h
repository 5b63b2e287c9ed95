// Shared handle to one node of a parsed XML tree.
//
// Copying a handle adds a reference, destroying or overwriting one drops it;
// the last reference frees the node and every child no other handle holds.
// A look-up that finds nothing yields an empty handle or a null text, never
// an error. Names of elements and attributes compare without regard to case.
// Handles are not safe to share between threads.
#pragma once

#include <cstddef>

struct XMLNodeData;

class XMLNode
{
public:
    // Kinds held in the order list, as index * 4 + kind.
    enum ItemKind
    {
        ItemChild = 0,
        ItemText = 2,
        ItemClear = 3
    };

    XMLNode() = default;
    XMLNode(const XMLNode& other);
    XMLNode(XMLNode&& other) noexcept;
    XMLNode& operator=(const XMLNode& other);
    XMLNode& operator=(XMLNode&& other) noexcept;
    ~XMLNode();

    // The process-wide empty handle.
    static const XMLNode& Empty();

    bool IsEmpty() const { return m_p == nullptr; }
    // Element name; null for the nameless top node of a parse and for an empty handle.
    const char* Name() const;
    // True for an element opened with "<?".
    bool IsDeclaration() const;
    // Containing element, empty for the top node or once the parent was freed.
    XMLNode Parent() const;

    // Number of child elements called name; 0 for an empty handle.
    int CountChildren(const char* name) const;
    // Number of child elements of any name.
    int CountChildren() const;
    // First child called name at or after index *pos (0 when pos is null). On
    // success *pos becomes the index after the found child, so a loop with a
    // running position visits repeated elements in document order.
    XMLNode FindChild(const char* name, int* pos = nullptr) const;
    // As FindChild, but only a child with an attribute attrName whose value
    // equals attrValue (without regard to case; every attribute of that name
    // is tried) counts. A null attrValue takes the first child that has the
    // attribute at all.
    XMLNode FindChildWithAttribute(const char* name, const char* attrName,
                                   const char* attrValue = nullptr, int* pos = nullptr) const;
    // The index-th child element, empty when there are fewer.
    XMLNode ChildAt(int index) const;

    // Value of the first attribute called name at or after index *pos; null
    // when there is none or it was written without a value. On success *pos
    // becomes the index after the attribute.
    const char* FindAttribute(const char* name, int* pos = nullptr) const;
    bool HasAttribute(const char* name) const;
    int CountAttributes() const;
    // Name and value (null without value) of the index-th attribute.
    const char* AttributeNameAt(int index) const;
    const char* AttributeValueAt(int index) const;

    // The index-th text of the element, null when there are fewer.
    const char* TextAt(int index) const;
    int CountTexts() const;

    // Clear sections (CDATA, DOCTYPE, comments, PRE): raw content and the
    // opening and closing strings; null when there are fewer.
    int CountClears() const;
    const char* ClearAt(int index) const;
    const char* ClearOpenAt(int index) const;
    const char* ClearCloseAt(int index) const;

    // Children, texts and clear sections in document order (see ItemKind).
    int CountItems() const;
    int ItemAt(int index) const;

    // For the parser: takes over a node whose reference the caller already counted.
    static XMLNode Adopt(XMLNodeData* p);
    XMLNodeData* Data() const { return m_p; }
    // For the parser: gives up the node without dropping its reference.
    XMLNodeData* Detach()
    {
        XMLNodeData* p = m_p;
        m_p = nullptr;
        return p;
    }

private:
    XMLNodeData* m_p = nullptr;
};
