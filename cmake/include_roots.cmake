# kvr_include_root(target name folder): the target's headers are included as
# "name/file.h", and its include root shows that folder alone. The root is a
# folder of the build tree holding one link, name -> folder, so a target that
# does not link this one cannot reach its headers, and linking src/wire
# does not hand out the rest of src/.
function(kvr_include_root target name folder)
  set(root ${CMAKE_BINARY_DIR}/include-roots/${name})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${folder} ${root}/${name} SYMBOLIC)
  target_include_directories(${target} PUBLIC ${root})
endfunction()
