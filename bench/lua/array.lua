-- a[i] = i for 0 <= i < n (stored 1-based), then the sum of the elements
local function work(n)
  local a = {}
  for i = 1, n do
    a[i] = i - 1
  end
  local total = 0
  for i = 1, n do
    total = total + a[i]
  end
  return total
end

local dir = arg[0]:match("^(.*[/\\])") or "./"
dofile(dir .. "harness.lua")(work, function(r) return string.format("%d", r) end)
