# Fails when libkitecore exports a symbol that no public header declares,
# such as a C++ helper that escaped the hidden visibility.
# Usage: cmake -DLIB=path/to/libkitecore.so -DHEADERS="a.h|b.h|..." \
#              -P check_exports.cmake
#
# A symbol counts as declared only by a declaration that carries KT_API in
# a public header: the name before the first "(" of a function declaration,
# or the last name of a variable declaration.  Comments and preprocessor
# lines are removed first, so a name in a comment, a macro or a call inside
# an inline body declares nothing.
cmake_minimum_required(VERSION 3.20)
execute_process(COMMAND nm -D --defined-only ${LIB}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()

# Removes /* */ and // comments and preprocessor lines (with their
# continuations) from text.
function(strip_non_code text out)
  set(code "")
  while(TRUE)
    string(FIND "${text}" "/*" open)
    if(open EQUAL -1)
      break()
    endif()
    string(SUBSTRING "${text}" 0 ${open} before)
    string(APPEND code "${before} ")
    math(EXPR after "${open} + 2")
    string(SUBSTRING "${text}" ${after} -1 text)
    string(FIND "${text}" "*/" close)
    if(close EQUAL -1)
      set(text "")
      break()
    endif()
    math(EXPR after "${close} + 2")
    string(SUBSTRING "${text}" ${after} -1 text)
  endwhile()
  string(APPEND code "${text}")
  string(REGEX REPLACE "//[^\n]*" "" code "${code}")
  string(REGEX REPLACE "\n[ \t]*#([^\n]*\\\\\n)*[^\n]*" "\n" code "\n${code}")
  set(${out} "${code}" PARENT_SCOPE)
endfunction()

set(declared "")
string(REPLACE "|" ";" headers "${HEADERS}")
foreach(h ${headers})
  file(READ ${h} text)
  strip_non_code("${text}" code)
  # One chunk per declaration: from KT_API to the next ; { or }.
  string(REGEX MATCHALL "KT_API[^;{}]*" decls "${code}")
  foreach(decl ${decls})
    if(decl MATCHES "([A-Za-z_][A-Za-z0-9_]*)[ \t\r\n]*\\(")
      list(APPEND declared ${CMAKE_MATCH_1})
    else()
      # A variable: drop its array bounds (they may name macros) first.
      string(REGEX REPLACE "\\[[^]]*\\]" "" decl "${decl}")
      if(decl MATCHES "([A-Za-z_][A-Za-z0-9_]*)[ \t\r\n]*$")
        list(APPEND declared ${CMAKE_MATCH_1})
      endif()
    endif()
  endforeach()
endforeach()
list(REMOVE_DUPLICATES declared)

string(REPLACE "\n" ";" lines "${symbols}")
set(count 0)
set(bad "")
foreach(line ${lines})
  # Sanitizer builds add their own instrumentation symbols; skip those.
  # (The name is taken before the second test, which resets CMAKE_MATCH_n.)
  set(name "")
  if(line MATCHES "^[0-9a-f]+ ([A-Za-z]) (.+)$")
    set(name "${CMAKE_MATCH_2}")
  endif()
  if(name AND NOT name MATCHES "^__(odr_asan|asan|tsan|ubsan|sanitizer)")
    math(EXPR count "${count} + 1")
    list(FIND declared ${name} found)
    if(found EQUAL -1)
      list(APPEND bad ${name})
    endif()
  endif()
endforeach()
if(bad)
  message(FATAL_ERROR "exported but not declared in a public header: ${bad}")
endif()
list(LENGTH declared ndeclared)
message(STATUS "${count} exported symbols, all among the ${ndeclared} declared in public headers")
