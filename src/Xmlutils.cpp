#include "Xmlutils.h"

#include "InputFile.h"
#include "NxException.h"
#include "NxUi.h"

#include <cstdio>
#include <cstdlib>

XMLNode OpenDocument(const char* path, const char* firstTag, bool showReport, XmlResults* results)
{
    // The first bytes decide the encoding; a guess of 0 keeps the current one.
    InputFileError err;
    if (FILE* f = FOpenInputFile(path, kMaxInputBytes, err)) {
        unsigned char head[200];
        const size_t n = std::fread(head, 1, sizeof head, f);
        std::fclose(f);
        const XmlGlobalOptions o = GetGlobalOptions();
        SetGlobalOptions(GuessEncoding(head, n, true), o.bSkipBom, o.bDropWhiteSpace,
                         o.bRemoveComments);
    }
    XmlResults r;
    XMLNode node = ParseDocumentFile(path, firstTag, &r);
    if (r.nError != eXmlNoError && showReport)
        NxMessages().ShowMessage(XmlReportText(path, firstTag, r), "XML Parsing error",
                                 INxMessageSink::Icon::Error);
    if (results)
        *results = r;
    return node;
}

std::string XmlReportText(const char* path, const char* firstTag, const XmlResults& results)
{
    const bool noFirstTag = results.nError == eXmlFirstTagNotFound;
    return StrFormat("XML Parsing error inside file '%s'.\n%s\nAt line %i, column %i.\n%s%s%s",
                     path ? path : "", XmlErrorText(results.nError), results.nLine, results.nColumn,
                     noFirstTag ? "First Tag should be '" : "",
                     noFirstTag && firstTag ? firstTag : "", noFirstTag ? "'.\n" : "");
}

std::string XmlErrorWithPlace(const XmlResults& results)
{
    std::string text = XmlErrorText(results.nError);
    if (results.nLine > 0)
        text += StrFormat(" at line %d, column %d", results.nLine, results.nColumn);
    return text;
}

long ReadIntAttribute(const XMLNode& node, const char* name)
{
    const char* value = node.FindAttribute(name);
    return value ? std::strtol(value, nullptr, 0) : 0;
}

std::string ReadChildText(const XMLNode& node, const char* childName)
{
    const char* text = node.FindChild(childName).TextAt(0);
    return text ? text : "";
}
