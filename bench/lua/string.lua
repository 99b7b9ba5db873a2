-- n one-character appends, then the length of the text. Idiomatic Lua
-- builds text in a buffer table and joins it once (s = s .. "x" would copy
-- the whole text on every append).
local function work(n)
  local buffer = {}
  for i = 1, n do
    buffer[i] = "x"
  end
  return #table.concat(buffer)
end

local dir = arg[0]:match("^(.*[/\\])") or "./"
dofile(dir .. "harness.lua")(work, function(r) return string.format("%d", r) end)
