# Fails when a source of one layer includes a header of a layer it does not build on.
#   cmake -DLAYER=ui -DALLOWED=core,platform,... -DKNOWN=core,... -DFILES=a.cpp,... -DSTAMP=f -P
cmake_minimum_required(VERSION 3.25)
foreach(list ALLOWED KNOWN FILES)
  string(REPLACE "," ";" ${list} "${${list}}")
  list(REMOVE_ITEM ${list} "")
endforeach()
foreach(file IN LISTS FILES)
  file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[a-z_]+/")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[^\"]*\"([a-z_]+)/.*$" "\\1" folder "${line}")
    if(folder IN_LIST KNOWN AND NOT folder IN_LIST ALLOWED)
      message(FATAL_ERROR "${file}: layer ${LAYER} includes ${folder}/, a layer above it "
                          "or beside it (it builds on: ${ALLOWED})")
    endif()
  endforeach()
endforeach()
file(TOUCH ${STAMP})
