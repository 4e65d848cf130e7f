# Warnings apply to our own targets only; call vorasel_warnings(<target>).
function(vorasel_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()
