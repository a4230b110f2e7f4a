#pragma once

// Just enough XML for S3's answers: the text of named elements, at any depth,
// in document order, entities decoded. Not a general parser: S3's bodies
// have no CDATA, comments or namespace prefixes that matter here.

#include <string>
#include <string_view>
#include <vector>

namespace localplatform::objectstore {

// The raw contents of every <tag>...</tag> (or empty for <tag/>) in xml.
std::vector<std::string_view> xmlElements(std::string_view xml, std::string_view tag);
// The decoded text of the first <tag> in xml; "" when there is none.
std::string xmlText(std::string_view xml, std::string_view tag);
// True when the document's root element is <Error> (an S3 error answer).
bool isXmlError(std::string_view xml);
// Text with & < > " ' escaped for an element's content.
std::string xmlEscape(std::string_view text);
// &amp; &lt; &gt; &quot; &apos; and numeric references decoded.
std::string xmlUnescape(std::string_view text);

}  // namespace localplatform::objectstore
