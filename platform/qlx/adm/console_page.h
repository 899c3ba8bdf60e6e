// The web console's page, script and style sheet, served as they are by qlxadm serve (no
// build step, nothing fetched at run time). The script fills the page from the JSON
// readers of console_api.h and inserts every text from the broker as a text node, never
// as markup.
#ifndef QLX_ADM_CONSOLE_PAGE_H
#define QLX_ADM_CONSOLE_PAGE_H

namespace qlx::adm {

extern const char* const kConsoleHtml;
extern const char* const kConsoleJs;
extern const char* const kConsoleCss;

}  // namespace qlx::adm

#endif  // QLX_ADM_CONSOLE_PAGE_H
