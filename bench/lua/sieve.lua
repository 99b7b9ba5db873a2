-- sieve of Eratosthenes: how many primes are below n?
local function work(n)
  local composite = {}
  for i = 1, n do
    composite[i] = false
  end
  local count = 0
  for i = 2, n - 1 do
    if not composite[i] then
      count = count + 1
      for j = i * i, n - 1, i do
        composite[j] = true
      end
    end
  end
  return count
end

local dir = arg[0]:match("^(.*[/\\])") or "./"
dofile(dir .. "harness.lua")(work, function(r) return string.format("%d", r) end)
