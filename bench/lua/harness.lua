-- Shared driver for the Lua workloads (Lua 5.4 and LuaJIT alike).
--
--   lua5.4 bench/lua/NAME.lua N RUNS
--
-- Runs work(n) once untimed (warm-up), then RUNS times, each timed with
-- os.clock() after a full garbage collection, printing one line per run:
-- the result (formatted by `format`) and the seconds taken. The last line
-- is "rss_kib" and the process's peak resident set (VmHWM in
-- /proc/self/status; 0 where there is no such file).

local function peak_rss_kib()
  local f = io.open("/proc/self/status", "r")
  if not f then return 0 end
  local status = f:read("*a")
  f:close()
  return tonumber(status:match("VmHWM:%s*(%d+)")) or 0
end

return function(work, format)
  local n = assert(tonumber(arg[1]), "usage: SCRIPT N [RUNS]")
  local runs = tonumber(arg[2]) or 5
  work(n)
  for _ = 1, runs do
    collectgarbage("collect")
    local t0 = os.clock()
    local result = work(n)
    local t = os.clock() - t0
    io.write(format(result), " ", string.format("%.9f", t), "\n")
  end
  io.write("rss_kib ", peak_rss_kib(), "\n")
end
