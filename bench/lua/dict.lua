-- d["k" .. i] = i for 0 <= i < n, then the sum of d["k" .. i]
local function work(n)
  local d = {}
  for i = 0, n - 1 do
    d["k" .. i] = i
  end
  local total = 0
  for i = 0, n - 1 do
    total = total + d["k" .. i]
  end
  return total
end

local dir = arg[0]:match("^(.*[/\\])") or "./"
dofile(dir .. "harness.lua")(work, function(r) return string.format("%d", r) end)
