# installed_doc(SOURCE OUTPUT TEXT_MAP LINK_MAP)
#
# Writes OUTPUT, the copy of the Markdown file SOURCE written for the place
# where it is installed:
# - the lines from "<!-- source only -->" to "<!-- end source only -->" (the
#   build from this project's folder, its source files) are left out;
# - TEXT_MAP is a list of "text=>replacement" pairs, replaced everywhere
#   (the paths in commands);
# - LINK_MAP is a list of "prefix=>replacement" pairs for the targets of
#   relative links, tried in order: a link whose target starts with a prefix
#   gets the replacement in its place; a relative link that no pair names
#   leads to something that is not installed and keeps its text only. Links
#   to a web address or to a heading of the same file stay as they are.
# SOURCE is a configure dependency, so the copy follows every change to it.
function(installed_doc source output text_map link_map)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} text)
  set(begin_mark "<!-- source only -->\n")
  set(end_mark "<!-- end source only -->\n")
  string(LENGTH "${end_mark}" end_length)
  while(TRUE)
    string(FIND "${text}" "${begin_mark}" begin)
    if(begin EQUAL -1)
      break()
    endif()
    string(SUBSTRING "${text}" ${begin} -1 rest)
    string(FIND "${rest}" "${end_mark}" end)
    if(end EQUAL -1)
      message(FATAL_ERROR "${source}: a \"${begin_mark}\" without its end")
    endif()
    string(SUBSTRING "${text}" 0 ${begin} head)
    math(EXPR end "${end} + ${end_length}")
    string(SUBSTRING "${rest}" ${end} -1 rest)
    set(text "${head}${rest}")
  endwhile()
  foreach(pair IN LISTS text_map)
    string(REPLACE "=>" ";" pair "${pair}")
    list(GET pair 0 from)
    list(GET pair 1 to)
    string(REPLACE "${from}" "${to}" text "${text}")
  endforeach()
  string(REGEX MATCHALL "\\[[^]\n]*\\]\\([^)\n]*\\)" links "${text}")
  list(REMOVE_DUPLICATES links)
  foreach(link IN LISTS links)
    string(REGEX REPLACE "^\\[([^]]*)\\]\\(([^)]*)\\)$" "\\1" label "${link}")
    string(REGEX REPLACE "^\\[([^]]*)\\]\\(([^)]*)\\)$" "\\2" target "${link}")
    if(target MATCHES "^(#|[a-z]+:)")
      continue()
    endif()
    set(new "${label}")
    foreach(pair IN LISTS link_map)
      string(REPLACE "=>" ";" pair "${pair}")
      list(GET pair 0 from)
      list(GET pair 1 to)
      string(LENGTH "${from}" length)
      string(SUBSTRING "${target}" 0 ${length} start)
      if(start STREQUAL from)
        string(SUBSTRING "${target}" ${length} -1 rest)
        set(new "[${label}](${to}${rest})")
        break()
      endif()
    endforeach()
    string(REPLACE "${link}" "${new}" text "${text}")
  endforeach()
  file(WRITE ${output} "${text}")
endfunction()
