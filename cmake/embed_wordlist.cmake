# cmake -DWORDS=<eff-long> -DOUTPUT=<file.cpp> -P embed_wordlist.cmake
# Writes the EFF long word list as the C++ array that output/passphrase.h
# declares. The list is checked first: 7776 distinct words of lower-case
# letters (and the hyphen of four of them), so that a damaged or different
# file fails the build instead of weakening every passphrase.
file(STRINGS "${WORDS}" words)
list(LENGTH words count)
if(NOT count EQUAL 7776)
  message(FATAL_ERROR "${WORDS} holds ${count} words, not the 7776 of the EFF long list")
endif()
set(distinct ${words})
list(REMOVE_DUPLICATES distinct)
list(LENGTH distinct distinct_count)
if(NOT distinct_count EQUAL 7776)
  message(FATAL_ERROR "${WORDS} repeats words")
endif()
set(body "")
foreach(word IN LISTS words)
  if(NOT word MATCHES "^[a-z][a-z-]*$")
    message(FATAL_ERROR "${WORDS}: unexpected word '${word}'")
  endif()
  string(APPEND body "    \"${word}\",\n")
endforeach()
file(WRITE "${OUTPUT}.tmp"
     "// Generated from ${WORDS} by cmake/embed_wordlist.cmake.\n"
     "// EFF long word list, (c) 2016 Electronic Frontier Foundation, CC BY 3.0.\n"
     "#include \"output/passphrase.h\"\n\n"
     "const char *const eff_long_words[eff_long_count] = {\n${body}};\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
