// The style sheet and script every page links to (/static/lbweb.css, /static/lbweb.js).
#pragma once

namespace lbweb {

extern const char kStyleCss[];
extern const char kScriptJs[];

}  // namespace lbweb
