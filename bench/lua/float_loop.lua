-- Leibniz series: 4 * sum of (-1)^k / (2k + 1) for 0 <= k < n
local function work(n)
  local total, sign, d = 0.0, 1.0, 1.0
  for _ = 1, n do
    total = total + sign / d
    d = d + 2.0
    sign = -sign
  end
  return 4.0 * total
end

local dir = arg[0]:match("^(.*[/\\])") or "./"
dofile(dir .. "harness.lua")(work, function(r) return string.format("%.17g", r) end)
