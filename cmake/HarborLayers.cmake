# hg_include_root(TARGET SCOPE FOLDER)
# The tree has no global include root: each target sees only the folders of the
# targets it links. FOLDER (relative to the source tree, e.g. gateway/check) is
# reached through an include root in the build tree that holds a link to it and
# nothing else, so its headers keep their full names ("gateway/check/x.h") and a
# file can include from another folder only by linking that folder's target.
function(hg_include_root target scope folder)
  string(REPLACE "/" "_" name "${folder}")
  set(root ${CMAKE_BINARY_DIR}/include_roots/${name})
  set(link ${root}/${folder})
  if(NOT IS_SYMLINK ${link})
    get_filename_component(parent ${link} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${link} SYMBOLIC)
  endif()
  target_include_directories(${target} ${scope} ${root})
endfunction()
