#include "XmlParser/XMLNodeData.h"

#include <cstring>
#include <utility>

namespace {
const XMLNode g_EmptyNode;
} // namespace

bool XmlNameEquals(const char* a, const char* b)
{
    if (!a || !b)
        return false;
    while (*a && XmlLower(*a) == XmlLower(*b)) {
        ++a;
        ++b;
    }
    return *a == *b;
}

void XMLNodeData::Release(XMLNodeData* p)
{
    if (!p || --p->nRefCount > 0)
        return;
    // A work list instead of recursion: a nesting depth of millions must not
    // exhaust the machine stack.
    std::vector<XMLNodeData*> dead{p};
    while (!dead.empty()) {
        XMLNodeData* n = dead.back();
        dead.pop_back();
        for (XMLNode& child : n->Children) {
            XMLNodeData* c = child.Detach(); // its reference is dropped below
            if (!c)
                continue;
            c->pParent = nullptr;
            if (--c->nRefCount == 0)
                dead.push_back(c);
        }
        delete n;
    }
}

XMLNode XMLNode::Adopt(XMLNodeData* p)
{
    XMLNode h;
    h.m_p = p;
    return h;
}

XMLNode::XMLNode(const XMLNode& other) : m_p(other.m_p)
{
    if (m_p)
        ++m_p->nRefCount;
}

XMLNode::XMLNode(XMLNode&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}

XMLNode& XMLNode::operator=(const XMLNode& other)
{
    if (other.m_p)
        ++other.m_p->nRefCount;
    XMLNodeData::Release(std::exchange(m_p, other.m_p));
    return *this;
}

XMLNode& XMLNode::operator=(XMLNode&& other) noexcept
{
    if (this != &other)
        XMLNodeData::Release(std::exchange(m_p, std::exchange(other.m_p, nullptr)));
    return *this;
}

XMLNode::~XMLNode()
{
    XMLNodeData::Release(m_p);
}

const XMLNode& XMLNode::Empty()
{
    return g_EmptyNode;
}

const char* XMLNode::Name() const
{
    return (m_p && m_p->bHasName) ? m_p->Name.c_str() : nullptr;
}

bool XMLNode::IsDeclaration() const
{
    return m_p && m_p->bDeclaration;
}

XMLNode XMLNode::Parent() const
{
    if (!m_p || !m_p->pParent)
        return {};
    ++m_p->pParent->nRefCount;
    return Adopt(m_p->pParent);
}

int XMLNode::CountChildren(const char* name) const
{
    if (!m_p)
        return 0;
    int n = 0;
    for (const XMLNode& c : m_p->Children)
        n += XmlNameEquals(c.Name(), name) ? 1 : 0;
    return n;
}

int XMLNode::CountChildren() const
{
    return m_p ? static_cast<int>(m_p->Children.size()) : 0;
}

XMLNode XMLNode::FindChild(const char* name, int* pos) const
{
    return FindChildWithAttribute(name, nullptr, nullptr, pos);
}

XMLNode XMLNode::FindChildWithAttribute(const char* name, const char* attrName,
                                        const char* attrValue, int* pos) const
{
    if (!m_p)
        return {};
    const int n = static_cast<int>(m_p->Children.size());
    for (int i = (pos && *pos > 0) ? *pos : 0; i < n; ++i) {
        const XMLNode& c = m_p->Children[static_cast<size_t>(i)];
        if (!XmlNameEquals(c.Name(), name))
            continue;
        if (attrName) {
            bool found = false;
            for (const XMLAttribute& a : c.m_p->Attributes) {
                if (!XmlNameEquals(a.Name.c_str(), attrName))
                    continue;
                if (!attrValue || (a.bHasValue && XmlNameEquals(a.Value.c_str(), attrValue))) {
                    found = true;
                    break;
                }
            }
            if (!found)
                continue;
        }
        if (pos)
            *pos = i + 1;
        return c;
    }
    return {};
}

XMLNode XMLNode::ChildAt(int index) const
{
    if (!m_p || index < 0 || index >= static_cast<int>(m_p->Children.size()))
        return {};
    return m_p->Children[static_cast<size_t>(index)];
}

const char* XMLNode::FindAttribute(const char* name, int* pos) const
{
    if (!m_p)
        return nullptr;
    const int n = static_cast<int>(m_p->Attributes.size());
    for (int i = (pos && *pos > 0) ? *pos : 0; i < n; ++i) {
        const XMLAttribute& a = m_p->Attributes[static_cast<size_t>(i)];
        if (!XmlNameEquals(a.Name.c_str(), name))
            continue;
        if (pos)
            *pos = i + 1;
        return a.bHasValue ? a.Value.c_str() : nullptr;
    }
    return nullptr;
}

bool XMLNode::HasAttribute(const char* name) const
{
    if (!m_p)
        return false;
    for (const XMLAttribute& a : m_p->Attributes)
        if (XmlNameEquals(a.Name.c_str(), name))
            return true;
    return false;
}

int XMLNode::CountAttributes() const
{
    return m_p ? static_cast<int>(m_p->Attributes.size()) : 0;
}

const char* XMLNode::AttributeNameAt(int index) const
{
    if (index < 0 || index >= CountAttributes())
        return nullptr;
    return m_p->Attributes[static_cast<size_t>(index)].Name.c_str();
}

const char* XMLNode::AttributeValueAt(int index) const
{
    if (index < 0 || index >= CountAttributes())
        return nullptr;
    const XMLAttribute& a = m_p->Attributes[static_cast<size_t>(index)];
    return a.bHasValue ? a.Value.c_str() : nullptr;
}

const char* XMLNode::TextAt(int index) const
{
    if (index < 0 || index >= CountTexts())
        return nullptr;
    return m_p->Texts[static_cast<size_t>(index)].c_str();
}

int XMLNode::CountTexts() const
{
    return m_p ? static_cast<int>(m_p->Texts.size()) : 0;
}

int XMLNode::CountClears() const
{
    return m_p ? static_cast<int>(m_p->Clears.size()) : 0;
}

const char* XMLNode::ClearAt(int index) const
{
    if (index < 0 || index >= CountClears())
        return nullptr;
    return m_p->Clears[static_cast<size_t>(index)].Content.c_str();
}

const char* XMLNode::ClearOpenAt(int index) const
{
    if (index < 0 || index >= CountClears())
        return nullptr;
    return m_p->Clears[static_cast<size_t>(index)].szOpen;
}

const char* XMLNode::ClearCloseAt(int index) const
{
    if (index < 0 || index >= CountClears())
        return nullptr;
    return m_p->Clears[static_cast<size_t>(index)].szClose;
}

int XMLNode::CountItems() const
{
    return m_p ? static_cast<int>(m_p->Order.size()) : 0;
}

int XMLNode::ItemAt(int index) const
{
    if (index < 0 || index >= CountItems())
        return -1;
    return m_p->Order[static_cast<size_t>(index)];
}
