-- wrk: GET <prefix>00000 .. <prefix>(N-1) in turn, the keys the list-and-read work reads.
-- Usage: wrk ... -s keys.lua URL -- N PREFIX
local i, n, prefix = 0, 1, "/"

function init(args)
  n = tonumber(args[1])
  prefix = args[2]
end

function request()
  local path = string.format("%s%05d", prefix, i)
  i = (i + 1) % n
  return wrk.format("GET", path)
end
