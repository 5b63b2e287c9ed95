// Storage behind an XMLNode handle; only the reader's own sources see it.
#pragma once

#include "XmlParser/XMLNode.h"

#include <string>
#include <vector>

struct XMLClearSection
{
    std::string Content;
    const char* szOpen;  // points into the reader's table of section kinds
    const char* szClose; // likewise
};

struct XMLAttribute
{
    std::string Name;
    std::string Value;
    bool bHasValue;
};

struct XMLNodeData
{
    std::string Name;
    bool bHasName = false;
    bool bDeclaration = false;
    XMLNodeData* pParent = nullptr; // not a counted reference
    std::vector<XMLNode> Children;
    std::vector<std::string> Texts;
    std::vector<XMLClearSection> Clears;
    std::vector<XMLAttribute> Attributes;
    std::vector<int> Order;
    long nRefCount = 1;

    // Drops one reference; frees the node and its unheld subtree without
    // recursing, so a tree of any depth can be released.
    static void Release(XMLNodeData* p);
};

inline char XmlLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// ASCII case-insensitive equality of two zero-terminated names.
bool XmlNameEquals(const char* a, const char* b);
