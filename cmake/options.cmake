# kvr_options: the language standard and warning level every target of ours uses.
add_library(kvr_options INTERFACE)
target_compile_features(kvr_options INTERFACE cxx_std_20)
target_compile_options(kvr_options INTERFACE -Wall -Wextra -Wpedantic)
if(KVR_SANITIZE)
  target_compile_options(kvr_options INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                               -fno-sanitize-recover=undefined)
  target_link_options(kvr_options INTERFACE -fsanitize=address,undefined)
endif()
