# Makes the manual page pipeline-agent(1) from the command reference, at
# build time, so that the two never differ:
#   cmake -DREFERENCE=docs/reference.md -DCHANGELOG=cmake/debian/changelog.in
#         -DVERSION=0.1.0 -DMD2MAN=/usr/bin/go-md2man -DOUTPUT=pipeline-agent.1
#         -P ManPage.cmake
# writes OUTPUT (roff) and OUTPUT.gz (gzip -9n, as Debian installs it).
#
# The page is the reference from its first "## " heading on: each "##"
# section becomes a section of the page under its name in capitals (Shared
# options: OPTIONS, Exit codes: EXIT STATUS), each "###" a subsection, a list
# item or table row that starts with what it describes a tagged paragraph,
# and a link its text. NAME and the title line come from here; the page's
# date is that of the Debian changelog's entry, so that a rebuild makes the
# same bytes.
foreach(variable REFERENCE CHANGELOG VERSION MD2MAN OUTPUT)
  if(NOT ${variable})
    message(FATAL_ERROR "ManPage.cmake needs -D${variable}=...")
  endif()
endforeach()

file(READ ${REFERENCE} text)
string(FIND "${text}" "\n## " start)
if(start LESS 0)
  message(FATAL_ERROR "${REFERENCE} has no \"## \" section")
endif()
string(SUBSTRING "${text}" ${start} -1 text)
# The text's semicolons would split CMake's lists: another character stands
# for them until the page is written.
string(ASCII 31 semicolon)
string(REPLACE ";" "${semicolon}" text "${text}")
# A link keeps its text, and the file it names under docs/ (or the
# checkout's top) where it is another page: "databases (docs/guide/databases.md)".
string(REGEX REPLACE "\\[([^]]*)\\]\\(#[^)]*\\)" "\\1" text "${text}")
string(REGEX REPLACE "\\[[^]]*\\.md\\]\\(\\.\\./([^)#]*)(#[^)]*)?\\)" "\\1" text "${text}")
string(REGEX REPLACE "\\[[^]]*\\.md\\]\\(([^)#]*)(#[^)]*)?\\)" "docs/\\1" text "${text}")
string(REGEX REPLACE "\\[([^]]*)\\]\\(\\.\\./([^)#]*)(#[^)]*)?\\)" "\\1 (\\2)" text "${text}")
string(REGEX REPLACE "\\[([^]]*)\\]\\(([^)#]*)(#[^)]*)?\\)" "\\1 (docs/\\2)" text "${text}")

# A list item that starts with what it describes ("- `--store DIR`: the
# archive store", "- `0`, `1`: ...") becomes a tagged paragraph, as options
# are shown in a manual page (a definition list to go-md2man).
set(code "`[^`\n]+`")
string(REGEX MATCHALL "\n- ${code}((,|${semicolon}|,? and)( |\n  )${code})*: " items "${text}")
foreach(item IN LISTS items)
  string(REGEX REPLACE "^\n- (.*): $" "\\1" term "${item}")
  string(REPLACE "\n  " " " term "${term}")
  string(REPLACE "${item}" "\n\n${term}\n: " text "${text}")
endforeach()
# So does each row of a table (the exit codes): its first cell the tag.
string(REGEX REPLACE "\n\\|[^\n]*\\|\n\\|[-|: ]+\\|\n" "\n" text "${text}")
string(REGEX REPLACE "\n\\| ([^|\n]*[^| \n]) +\\| ([^\n]*[^| \n]) *\\|" "\n\n\\1\n: \\2" text "${text}")

string(REGEX MATCHALL "\n## [^\n]*" headings "${text}")
foreach(heading IN LISTS headings)
  string(SUBSTRING "${heading}" 4 -1 title)
  if(title STREQUAL "Shared options")
    set(title "OPTIONS")
  elseif(title STREQUAL "Exit codes")
    set(title "EXIT STATUS")
  else()
    string(TOUPPER "${title}" title)
  endif()
  string(REPLACE "${heading}\n" "\n## ${title}\n" text "${text}")
endforeach()
foreach(section SYNOPSIS DESCRIPTION OPTIONS COMMANDS "EXIT STATUS" ENVIRONMENT FILES EXAMPLES
        "SEE ALSO")
  string(FIND "${text}" "\n## ${section}\n" found)
  if(found LESS 0)
    message(FATAL_ERROR "${REFERENCE} has no section for ${section} of the manual page")
  endif()
endforeach()

# " -- NAME <EMAIL>  Tue, 08 Dec 2026 00:00:00 +0000"
file(READ ${CHANGELOG} changelog)
if(NOT changelog MATCHES "\n -- [^\n]*  [A-Z][a-z][a-z], ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9])")
  message(FATAL_ERROR "${CHANGELOG} has no dated entry")
endif()
set(day ${CMAKE_MATCH_1})
set(year ${CMAKE_MATCH_3})
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND months ${CMAKE_MATCH_2} month)
math(EXPR month "${month} + 1" OUTPUT_FORMAT DECIMAL)
if(month LESS 10)
  set(month 0${month})
endif()

set(page "% PIPELINE-AGENT 1 \"${year}-${month}-${day}\" \"pipeline-agent ${VERSION}\" \"User Commands\"\n\n")
string(APPEND page "## NAME\n\npipeline-agent - back up files, trees, databases and streams over "
  "parallel streams, and restore them\n${text}")
string(REPLACE "${semicolon}" ";" page "${page}")
file(WRITE ${OUTPUT}.md "${page}")
execute_process(COMMAND ${MD2MAN} -in ${OUTPUT}.md -out ${OUTPUT}.tmp RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${OUTPUT}.tmp)
  message(FATAL_ERROR "${MD2MAN} failed on ${OUTPUT}.md")
endif()
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
execute_process(COMMAND gzip -9 -n -c ${OUTPUT} OUTPUT_FILE ${OUTPUT}.gz RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${OUTPUT}.gz)
  message(FATAL_ERROR "gzip failed on ${OUTPUT}")
endif()
