#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorbel {

// `text` as it may reach a terminal, a bar or a desktop: without C0 and C1 control characters and
// DEL, tabs and line feeds included, so that a name from the endpoint or a file can neither rewrite
// a terminal nor break a one-line format. What is not well-formed UTF-8 becomes U+FFFD, one per
// maximal ill-formed part: a lone 0x9B is a CSI to a terminal that reads 8-bit controls, and an
// overlong form could hide a control from this filter but not from a lenient decoder.
std::string displayText(std::string_view text);

// `text` escaped for XML and for Pango markup, which waybar reads a module's text in: the five
// characters they give meaning to (those g_markup_escape_text() escapes) become entities, so a name
// is shown as written, never parsed.
std::string markupText(std::string_view text);

// The columns a terminal gives `text`, which displayText() has cleaned: East Asian wide and
// emoji code points count two, every other one. Never fewer than a terminal uses, so a text cut to
// fit by this count cannot wrap.
std::size_t displayColumns(std::string_view text);

// `text` cut to at most `columns` columns at a character's start, with "…" when cut.
std::string fitColumns(std::string_view text, std::size_t columns);

} // namespace quorbel
