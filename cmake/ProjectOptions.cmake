# Compiler settings shared by every target of the project.

# Applies the project's language level and warning set to one target. The test command
# turns warnings into errors (QS_WARNINGS_AS_ERRORS) so that none lands on either
# compiler; a modder's own build with another compiler version keeps them as warnings.
function(qs_target_defaults target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /permissive- /utf-8 $<$<BOOL:${QS_WARNINGS_AS_ERRORS}>:/WX>)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                           $<$<BOOL:${QS_WARNINGS_AS_ERRORS}>:-Werror>)
  endif()
endfunction()

if(QS_SANITIZE AND NOT MSVC)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(MINGW)
  # Quellstone.dll and every test program must need nothing beside them but
  # system DLLs: the C++ runtime and winpthread are linked in statically.
  add_link_options(-static -static-libgcc -static-libstdc++)
  add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE)
endif()
