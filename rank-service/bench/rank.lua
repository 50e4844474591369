-- wrk script: rank calls as the plug-in sends them, one connection each.
-- Hosts follow a Zipf distribution (s = 1): host hN.test is the Nth most
-- asked. Arguments: hosts users pace_ms (pace: wait between a connection's
-- requests, to offer a fixed rate; 0 for as fast as possible).
local hosts, users, pace = 100000, 100000, 0
local cdf = {}
local threads = 0

function setup(thread)
  threads = threads + 1
  thread:set("seed", os.time() * 100 + threads)
end

function init(args)
  hosts = tonumber(args[1]) or hosts
  users = tonumber(args[2]) or users
  pace = tonumber(args[3]) or 0
  local sum = 0
  for i = 1, hosts do
    sum = sum + 1 / i
    cdf[i] = sum
  end
  for i = 1, hosts do cdf[i] = cdf[i] / sum end
  math.randomseed(seed or os.time())
end

local function zipf()
  local u, lo, hi = math.random(), 1, hosts
  while lo < hi do
    local mid = math.floor((lo + hi) / 2)
    if cdf[mid] < u then lo = mid + 1 else hi = mid end
  end
  return lo
end

local headers = {["Content-Type"] = "application/json", ["Connection"] = "close"}

function request()
  local body = string.format(
    '{"agent":"ieaddon-2.2.0-73-stable-win-x86_64","id":1,"method":"rank",' ..
    '"params":[{"lang":"en-US","ref":"","uagent":"Mozilla/4.0 (compatible; ' ..
    'MSIE 8.0; Windows NT 6.1; Trident/4.0)","uid":"{00000000-0000-0000-' ..
    '0000-%012d}","url":"http://h%d.test/"}],"version":"1.0"}',
    math.random(users), zipf())
  return wrk.format("POST", "/rank/", headers, body)
end

function delay()
  return pace
end

function done(summary, latency, requests)
  local e = summary.errors
  io.write(string.format(
    "wrk: requests=%d seconds=%.3f errors=%d p50_ms=%.3f p99_ms=%.3f\n",
    summary.requests, summary.duration / 1e6,
    e.connect + e.read + e.write + e.status + e.timeout,
    latency:percentile(50) / 1000, latency:percentile(99) / 1000))
end
