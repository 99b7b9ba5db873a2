-- recursive fib(n)
local function fib(n)
  if n < 2 then return n end
  return fib(n - 1) + fib(n - 2)
end

local dir = arg[0]:match("^(.*[/\\])") or "./"
dofile(dir .. "harness.lua")(fib, function(r) return string.format("%d", r) end)
