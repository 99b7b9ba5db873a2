-- sum of i for 0 <= i < n
local function work(n)
  local total = 0
  for i = 0, n - 1 do
    total = total + i
  end
  return total
end

local dir = arg[0]:match("^(.*[/\\])") or "./"
dofile(dir .. "harness.lua")(work, function(r) return string.format("%d", r) end)
