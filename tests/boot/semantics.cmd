# What the stand-in's commands must do as U-Boot's do; every line the
# boot tests compare starts with "P".
setenv t "9"
setexpr t "${t}" + 1
echo P setexpr counts in hex ${t}
setenv t ""
setexpr t "${t}" + 1
echo P setexpr reads nothing as zero ${t}
setenv words one   two
echo P setenv joins ${words}
setenv words
echo P setenv deletes x${words}x
test "5x" -lt "6" && echo P test reads leading digits
test "abc" -eq "0" && echo P test reads no digits as zero
test "-2" -lt "0" && echo P test reads a minus
test "" -lt "1" && echo P test reads empty as zero
test -z "${undefined}" && echo P undefined is empty
test "a b" = "a b" && echo P quoted operands keep spaces
setenv list 'echo P run first; test "a" = "b"; echo P run goes on after a failure'
run list && echo P run returns the last status
setenv list 'test "a" = "b" && echo P not printed; echo P run after and-list'
run list
run undefined_variable || echo P run of nothing fails
if test "a" = "b"; then echo P not printed; else echo P else branch; fi
