-- Wireshark dissector for the Kelmar Network peer protocol (UDP, default port 51209).
--
-- Install: copy to ~/.local/lib/wireshark/plugins/ (or load with
-- `tshark -X lua_script:tools/kelmar.lua`). Written for Wireshark 4.0 (Lua 5.2, bit32).
--
-- Every datagram is one packet: byte 0 the type in clear, then a salt byte, a link id
-- and the payload, all scrambled by a running CRC-32 register started from a key.
-- Types 1 and 2 use the fixed key "QBFW"; every other type uses the digest of the
-- receiver's password, so those need the passwords given in the preferences. A turn
-- message scrambles only its 3-byte header; its compressed payload travels in clear.
--
-- Which key opened a message, and how sure that is, is shown per message. The register
-- is linear: a wrong key descrambles every message to the plaintext XOR one fixed
-- pattern that depends only on the two keys, never on the salt. So a free byte such as
-- the link id stays steady under a wrong key too, and only known content decides:
--   fixed key     types 1 and 2 (byte 2 must then be 0);
--   verified      the plain payload proves the key: a connect carries the receiver's
--                 password, zero-terminated and zero-padded;
--   handshake     the key this pair's captured connect gives (the password that verified
--                 it, or the requester's digest carried inside), and byte 2 holds the link
--                 id that the connect or accept announced (a wrong key would do that only
--                 for about one key in 256);
--   assumed       nothing decides: a 3- or 4-byte message of a pair whose handshake was
--                 not captured (or under another link id); the key shown is a guess;
--   none          no configured password gives a valid connect.

local kelmar = Proto("kelmar", "Kelmar Network peer protocol")

local DEFAULT_PORT = 51209
local FIXED_KEY = 0x57464251 -- "QBFW" read little-endian
local MAX_TURN = 513
local MAX_PAK = 768
local MAX_ENCODED_TURN = 518 -- the encoder's worst case for a 513-byte turn
local INFO_LEVELS = 6 -- non-zero slots named in the Info column

local band, bxor, rshift, bnot = bit32.band, bit32.bxor, bit32.rshift, bit32.bnot

-- The standard CRC-32 table (reflected polynomial 0xEDB88320).
local CRC = {}
for n = 0, 255 do
  local c = n
  for _ = 1, 8 do
    if band(c, 1) ~= 0 then c = bxor(rshift(c, 1), 0xEDB88320) else c = rshift(c, 1) end
  end
  CRC[n] = c
end

local function crc_next(r, b)
  return bxor(rshift(r, 8), CRC[band(bxor(r, b), 0xFF)])
end

-- The digest of a password: CRC-32 of its bytes from the fixed key, complemented.
local function digest(pw)
  local r = FIXED_KEY
  for i = 1, #pw do r = crc_next(r, pw:byte(i)) end
  return bnot(r)
end

-- Descrambles bytes 1..n-1 of the 0-indexed table b with key; returns a new table.
local function descramble(b, n, key)
  local out = { [0] = b[0] }
  local r = key
  for i = 1, n - 1 do
    local p = bxor(b[i], band(bxor(r, rshift(r, 8)), 0xFF))
    out[i] = p
    r = crc_next(r, p)
  end
  return out
end

-- Message types: name, and the length rule as a predicate with its description.
local TYPES = {
  [1] = { name = "Beacon", fixed = true, len = function(n) return n == 11 end, rule = "11 bytes" },
  [2] = { name = "Refuse", fixed = true, len = function(n) return n == 3 end, rule = "3 bytes" },
  [4] = { name = "Connect", len = function(n) return n >= 8 and n <= MAX_PAK end,
          rule = "8 to 768 bytes" },
  [5] = { name = "Close", len = function(n) return n == 3 end, rule = "3 bytes" },
  [6] = { name = "Accept", len = function(n) return n == 4 end, rule = "4 bytes" },
  [7] = { name = "Busy", len = function(n) return n == 3 end, rule = "3 bytes" },
  [8] = { name = "Deny", len = function(n) return n == 3 end, rule = "3 bytes" },
  [12] = { name = "Turn", len = function(n) return n >= 3 and n <= MAX_PAK end,
           rule = "3 to 768 bytes" },
  [13] = { name = "Same", len = function(n) return n == 3 end, rule = "3 bytes" },
  [14] = { name = "Alive", len = function(n) return n == 3 end, rule = "3 bytes" },
}
local type_names = {}
for t, d in pairs(TYPES) do type_names[t] = d.name end

-- How a message's key was decided (see the head of this file).
local ST_NONE, ST_FIXED, ST_VERIFIED, ST_HANDSHAKE, ST_ASSUMED = 0, 1, 2, 3, 4
local status_names = {
  [ST_NONE] = "not descrambled: no configured password fits",
  [ST_FIXED] = "fixed key",
  [ST_VERIFIED] = "verified by the payload",
  [ST_HANDSHAKE] = "link id matches the handshake",
  [ST_ASSUMED] = "assumed: the message has nothing to check",
}

local f = {
  type = ProtoField.uint8("kelmar.type", "Type", base.DEC, type_names),
  salt = ProtoField.uint8("kelmar.salt", "Salt", base.HEX),
  link = ProtoField.uint8("kelmar.link", "Link id", base.HEX),
  status = ProtoField.uint8("kelmar.key.status", "Key status", base.DEC, status_names),
  key = ProtoField.uint32("kelmar.key", "Key", base.HEX),
  password = ProtoField.string("kelmar.password", "Password (matched)"),
  keynote = ProtoField.string("kelmar.key.note", "Key decision"),
  bcon_first = ProtoField.uint32("kelmar.beacon.first", "First value", base.DEC),
  bcon_second = ProtoField.int32("kelmar.beacon.second", "Second value (low 32 bits, signed)",
                                 base.DEC),
  conn_digest = ProtoField.uint32("kelmar.connect.digest", "Requester's digest", base.HEX),
  conn_password = ProtoField.string("kelmar.connect.password", "Password for the receiver"),
  conn_padding = ProtoField.uint16("kelmar.connect.padding", "Zero padding (bytes)", base.DEC),
  acc_link = ProtoField.uint8("kelmar.accept.link", "Acceptor's link id", base.HEX),
  turn_comp = ProtoField.uint16("kelmar.turn.compressed", "Compressed length", base.DEC),
  turn_size = ProtoField.uint16("kelmar.turn.size", "Turn size (start code and slots)", base.DEC),
  turn_start = ProtoField.uint8("kelmar.turn.start_code", "Start code", base.HEX),
  turn_slots = ProtoField.uint16("kelmar.turn.slots", "Slots", base.DEC),
  slot = ProtoField.uint8("kelmar.slot", "Slot", base.DEC),
  levels = ProtoField.string("kelmar.turn.levels", "Non-zero levels"),
  scrambled = ProtoField.bytes("kelmar.scrambled", "Scrambled bytes"),
  fault = ProtoField.string("kelmar.fault", "Dissector fault"),
}
kelmar.fields = f

local decrypt_group = expert.group.DECRYPTION or expert.group.UNDECODED
local ex = {
  length = ProtoExpert.new("kelmar.bad_length", "Wrong length for the message type",
                           expert.group.MALFORMED, expert.severity.ERROR),
  short = ProtoExpert.new("kelmar.short", "Datagram shorter than the 3-byte header",
                          expert.group.MALFORMED, expert.severity.ERROR),
  unknown = ProtoExpert.new("kelmar.unknown_type", "Message type that is never sent",
                            expert.group.MALFORMED, expert.severity.ERROR),
  overrun = ProtoExpert.new("kelmar.turn_overrun", "Turn decodes past 513 bytes",
                            expert.group.MALFORMED, expert.severity.ERROR),
  turn_odd = ProtoExpert.new("kelmar.turn_odd", "Turn stream the encoder never produces",
                             expert.group.MALFORMED, expert.severity.WARN),
  field = ProtoExpert.new("kelmar.bad_field", "Field a receiver rejects",
                          expert.group.MALFORMED, expert.severity.WARN),
  nokey = ProtoExpert.new("kelmar.no_key", "Not descrambled: no configured password matches",
                          decrypt_group, expert.severity.NOTE),
  assumed = ProtoExpert.new("kelmar.key_assumed", "Key assumed, not verified",
                            decrypt_group, expert.severity.CHAT),
  fault = ProtoExpert.new("kelmar.fault", "Dissector fault", expert.group.MALFORMED,
                          expert.severity.ERROR),
}
kelmar.experts = ex

kelmar.prefs.port = Pref.uint("UDP port", DEFAULT_PORT, "UDP port of the protocol")
kelmar.prefs.passwords = Pref.string("Passwords", "",
  "Comma-separated passwords to try on scrambled messages (a password cannot contain a comma)")
kelmar.prefs.try_empty = Pref.bool("Try the empty password", true,
  "Also try the empty password (the one a plug-in endpoint always holds)")

-- Candidate keys from the preferences: { key, label, pw }.
local candidates = {}
local function build_candidates()
  candidates = {}
  local seen = {}
  local function add(pw)
    local k = digest(pw)
    if seen[k] then return end
    seen[k] = true
    candidates[#candidates + 1] = { key = k, pw = pw }
  end
  for pw in string.gmatch(kelmar.prefs.passwords or "", "([^,]+)") do add(pw) end
  if kelmar.prefs.try_empty then add("") end
end

-- Per-capture state, filled on the first pass in frame order; results per frame are
-- kept so that a second look at a frame shows the same decision.
local pairs_state, results
local function reset_state()
  pairs_state = {} -- "ep|ep" -> { keyto = {[ep] = {key, label}}, link = {[ep] = id}, frame }
  results = {}     -- frame number -> decision
end
reset_state()

function kelmar.init()
  build_candidates()
  reset_state()
end

local registered_port
function kelmar.prefs_changed()
  build_candidates()
  reset_state()
  local udp = DissectorTable.get("udp.port")
  if registered_port ~= kelmar.prefs.port then
    if registered_port then udp:remove(registered_port, kelmar) end
    udp:add(kelmar.prefs.port, kelmar)
    registered_port = kelmar.prefs.port
  end
end

local function pair_key(a, b)
  if a < b then return a .. "|" .. b end
  return b .. "|" .. a
end

local function key_label(c)
  if c.pw == nil then return c.label end
  if c.pw == "" then return "the empty password" end
  return "password '" .. c.pw .. "'"
end

-- The label of a key learned from a connect: a configured password if one has it.
local function label_for_key(k, fallback)
  for _, c in ipairs(candidates) do
    if c.key == k then return key_label(c), c.pw end
  end
  return fallback, nil
end

-- Checks a descrambled connect: byte 7 on, the password, then 1 to 16 zero bytes.
-- Returns the password length and padding, or nil.
local function connect_layout(p, n)
  if n < 8 then return nil end
  local z = 7
  while z < n and p[z] ~= 0 do z = z + 1 end
  if z >= n then return nil end
  for i = z, n - 1 do
    if p[i] ~= 0 then return nil end
  end
  local pad = n - z
  if pad < 1 or pad > 16 then return nil end
  return z - 7, pad
end

local function bytes_to_string(p, from, len)
  local t = {}
  for i = from, from + len - 1 do t[#t + 1] = string.char(p[i]) end
  return table.concat(t)
end

-- Decides the key of a message from src to dst; returns a decision table
-- { status, key, label, pw, plain, note }.
local function decide(ty, b, n, src, dst, frame)
  local td = TYPES[ty]
  if td.fixed then
    return { status = ST_FIXED, key = FIXED_KEY, label = "fixed key \"QBFW\"",
             plain = descramble(b, n, FIXED_KEY), note = "types 1 and 2 use the fixed key" }
  end
  local len = (ty == 12) and 3 or n

  if ty == 4 then
    for _, c in ipairs(candidates) do
      local p = descramble(b, n, c.key)
      local l = connect_layout(p, n)
      if l and bytes_to_string(p, 7, l) == c.pw then
        -- Learn the pair: the requester's link id and digest, the acceptor's key.
        local ps = pairs_state[pair_key(src, dst)] or { keyto = {}, link = {} }
        pairs_state[pair_key(src, dst)] = ps
        local rd = bit32.bor(bit32.lshift(p[3], 24), bit32.lshift(p[4], 16),
                             bit32.lshift(p[5], 8), p[6])
        local rl, rpw = label_for_key(rd, nil)
        local from = "the requester's digest in the connect of frame " .. frame
        ps.keyto[dst] = { key = c.key, label = key_label(c), pw = c.pw }
        ps.keyto[src] = { key = rd, label = rl and (from .. ", that of " .. rl) or from,
                          pw = rpw }
        -- A repeated request keeps its link id and the acceptor's; a new one starts over.
        if ps.link[src] ~= p[2] then ps.link[dst] = nil end
        ps.link[src] = p[2]
        ps.frame = frame
        return { status = ST_VERIFIED, key = c.key, label = key_label(c), pw = c.pw, plain = p,
                 note = "the payload carries this password, zero-terminated and padded" }
      end
    end
    return { status = ST_NONE, note = "no configured password gives a connect that carries it" }
  end

  -- Which link id byte 2 must hold: the sender's own (close, turn, same, alive) or the
  -- requester's (accept, busy, deny: all sent to the requester).
  local own_link = (ty == 5 or ty == 12 or ty == 13 or ty == 14)
  local ps = pairs_state[pair_key(src, dst)]
  if ps and ps.keyto[dst] then
    local k = ps.keyto[dst]
    local want = own_link and ps.link[src] or ps.link[dst]
    local p = descramble(b, len, k.key)
    if want ~= nil and p[2] == want then
      if ty == 6 and n >= 4 then ps.link[src] = p[3] end
      return { status = ST_HANDSHAKE, key = k.key, label = k.label, pw = k.pw, plain = p,
               note = string.format("link id 0x%02x as the handshake in frame %d announced",
                                    want, ps.frame) }
    end
    -- The link id is not the announced one (a reconnect whose request was not captured,
    -- or a changed password): the pair's key is still the best guess.
    return { status = ST_ASSUMED, key = k.key, label = k.label, pw = k.pw, plain = p,
             note = string.format("the key this pair's handshake (frame %d) gives, but the link "
                                  .. "id is not the announced %s", ps.frame,
                                  want and string.format("0x%02x", want) or "one") }
  end

  if #candidates == 0 then
    return { status = ST_NONE, note = "no password configured" }
  end
  local c = candidates[1]
  local what = (#candidates == 1) and "the only configured key"
               or string.format("the first of %d configured keys", #candidates)
  return { status = ST_ASSUMED, key = c.key, label = key_label(c), pw = c.pw,
           plain = descramble(b, len, c.key),
           note = "no handshake of this pair was captured, and salt and link id are free "
                  .. "bytes that any key turns into some value; shown with " .. what }
end

-- Decompresses a turn stream: returns the bytes (0-indexed, start code first), the
-- number produced, and flags for an overrun and an unfinished literal run.
local function decode_turn(s, from, len)
  local out, pos, prev = {}, 0, 0
  local overrun, unfinished = false, false
  local i, last = from, from + len - 1
  while i <= last do
    local c = s[i]
    i = i + 1
    if c >= 0x80 then
      for _ = 1, band(c, 0x7F) + 1 do
        if pos >= MAX_TURN then overrun = true break end
        out[pos] = prev
        pos = pos + 1
      end
    elseif c == 0 then
      for _ = 1, 2 do
        if pos >= MAX_TURN then overrun = true break end
        out[pos] = 0
        pos = pos + 1
      end
    else
      if i + c - 1 > last then unfinished = true end
      for _ = 1, c do
        if i > last then break end
        if pos >= MAX_TURN then overrun = true break end
        out[pos] = s[i]
        pos = pos + 1
        i = i + 1
      end
    end
    if pos > 0 then prev = out[pos - 1] end
    if overrun then break end
  end
  return out, pos, overrun, unfinished
end

local function tvb_from(t, from, n, name)
  local ba = ByteArray.new()
  ba:set_size(n)
  for i = 0, n - 1 do ba:set_index(i, t[from + i]) end
  return ba:tvb(name)
end

local function endpoint(addr, port)
  return tostring(addr) .. ":" .. tostring(port)
end

local function dissect_body(tvb, pinfo, root)
  local n = tvb:len()
  pinfo.cols.protocol = "KELMAR"
  local tree = root:add(kelmar, tvb())
  if n < 1 then return 0 end
  local ty = tvb(0, 1):uint()
  tree:add(f.type, tvb(0, 1))
  local td = TYPES[ty]
  if n < 3 then
    tree:add_proto_expert_info(ex.short, string.format("%d bytes; a receiver ignores it", n))
    pinfo.cols.info = string.format("Short datagram (%d bytes)", n)
    return n
  end
  if not td then
    tree:add_proto_expert_info(ex.unknown, string.format("type %d is never sent", ty))
    pinfo.cols.info = string.format("Unknown type %d", ty)
    return n
  end
  tree:append_text(", " .. td.name)
  local info = td.name
  if not td.len(n) then
    tree:add_proto_expert_info(ex.length, string.format("%s of %d bytes; must be %s",
                                                        td.name, n, td.rule))
    info = info .. " [bad length]"
  end

  local b = {}
  for i = 0, math.min(n, MAX_PAK) - 1 do b[i] = tvb(i, 1):uint() end
  local scr_n = math.min(n, MAX_PAK)

  local src = endpoint(pinfo.src, pinfo.src_port)
  local dst = endpoint(pinfo.dst, pinfo.dst_port)
  local d = results[pinfo.number]
  if not d then
    d = decide(ty, b, scr_n, src, dst, pinfo.number)
    results[pinfo.number] = d
  end

  local kt = tree:add(f.status, tvb(0, 0), d.status)
  kt:set_generated()
  if d.key then
    kt:add(f.key, tvb(0, 0), d.key):set_generated()
    kt:append_text(" (" .. d.label .. ")")
  end
  if d.pw and d.status ~= ST_ASSUMED then
    local pi = kt:add(f.password, tvb(0, 0), d.pw)
    pi:set_generated()
    if d.pw == "" then pi:set_text("Password (matched): \"\" (the empty password)") end
  end
  kt:add(f.keynote, tvb(0, 0), d.note):set_generated()

  local plain_len = (ty == 12) and 3 or scr_n
  local ptvb
  if d.plain then
    ptvb = tvb_from(d.plain, 0, plain_len, "Kelmar descrambled")
  end
  if d.status == ST_NONE then
    tree:add_proto_expert_info(ex.nokey, d.note)
    tree:add(f.scrambled, tvb(1, plain_len - 1))
    info = info .. " [not descrambled]"
  elseif d.status == ST_ASSUMED then
    tree:add_proto_expert_info(ex.assumed, "key assumed, not verified: " .. d.label)
    info = info .. " [key assumed]"
  end
  if d.pw and d.status ~= ST_ASSUMED then
    info = info .. (d.pw == "" and " [empty pw]" or (" [pw " .. d.pw .. "]"))
  elseif d.status == ST_HANDSHAKE then
    info = info .. " [requester's key]"
  end

  if ptvb then
    local p = d.plain
    tree:add(f.salt, ptvb(1, 1))
    tree:add(f.link, ptvb(2, 1))
    info = info .. string.format(" link=0x%02x", p[2])
    if (ty == 1 or ty == 2) and p[2] ~= 0 then
      tree:add_proto_expert_info(ex.field, "byte 2 must be 0; a receiver drops it")
    end
    if ty == 1 and plain_len >= 11 then
      tree:add(f.bcon_first, ptvb(3, 4))
      tree:add(f.bcon_second, ptvb(7, 4))
      info = info .. string.format(" first=%d second=%d", ptvb(3, 4):uint(), ptvb(7, 4):int())
      if p[7] == 0x7F then
        tree:add_proto_expert_info(ex.field, "byte 7 is 0x7F; a receiver ignores this beacon")
      end
    elseif ty == 4 and plain_len >= 8 then
      tree:add(f.conn_digest, ptvb(3, 4))
      local l, pad = connect_layout(p, plain_len)
      if l then
        tree:add(f.conn_password, ptvb(7, math.max(l, 0)))
        tree:add(f.conn_padding, ptvb(7 + l, pad), pad)
        info = info .. string.format(" digest=0x%08x", ptvb(3, 4):uint())
      end
    elseif ty == 6 and plain_len >= 4 then
      tree:add(f.acc_link, ptvb(3, 1))
      info = info .. string.format(" acceptor link=0x%02x", p[3])
    end
  end

  if ty == 12 then
    local clen = n - 3
    local s = b
    local ct = tree:add(f.turn_comp, tvb(3, clen), clen)
    if clen > MAX_ENCODED_TURN then
      ct:add_proto_expert_info(ex.turn_odd, string.format(
        "%d compressed bytes; the encoder never needs more than %d", clen, MAX_ENCODED_TURN))
    end
    local out, size, overrun, unfinished = decode_turn(s, 3, math.min(clen, MAX_PAK - 3))
    if overrun then
      ct:add_proto_expert_info(ex.overrun, "the stream holds more than 513 turn bytes; "
                                           .. "a receiver keeps the first 513")
      info = info .. " [turn overrun]"
    end
    if unfinished then
      ct:add_proto_expert_info(ex.turn_odd, "the stream ends inside a literal run")
    end
    tree:add(f.turn_size, tvb(3, clen), size):set_generated()
    if size > 0 then
      local ttvb = tvb_from(out, 0, size, "Kelmar turn")
      tree:add(f.turn_start, ttvb(0, 1))
      local slots = size - 1
      local st = tree:add(f.turn_slots, ttvb(0, size), slots)
      st:set_generated()
      local nz = {}
      local nz_count = 0
      for k = 1, slots do
        st:add(f.slot, ttvb(k, 1)):set_text(string.format("Slot %d: %d", k, out[k]))
        if out[k] ~= 0 then
          nz_count = nz_count + 1
          if #nz < INFO_LEVELS then nz[#nz + 1] = string.format("%d=%d", k, out[k]) end
        end
      end
      local summary = table.concat(nz, " ")
      if nz_count > #nz then summary = summary .. string.format(" (+%d more)", nz_count - #nz) end
      if nz_count == 0 then summary = (slots == 0) and "no slots" or "all zero" end
      tree:add(f.levels, ttvb(0, size), summary):set_generated()
      info = info .. string.format(" start=%d slots=%d: %s", out[0], slots, summary)
    else
      info = info .. " empty turn"
    end
  end

  pinfo.cols.info = info
  return n
end

function kelmar.dissector(tvb, pinfo, root)
  local ok, res = pcall(dissect_body, tvb, pinfo, root)
  if ok then return res end
  -- Whatever the bytes, a fault here is shown in the tree, never raised.
  local item = root:add(kelmar, tvb())
  item:add(f.fault, tvb(0, 0), tostring(res))
  item:add_proto_expert_info(ex.fault, tostring(res))
  return tvb:len()
end

-- Heuristic: a known type with a length its rule allows; the fixed-key types must
-- descramble to a zero link byte, and a turn must decode within 513 bytes.
local function heuristic(tvb, pinfo, root)
  local ok, res = pcall(function()
    local n = tvb:len()
    if n < 3 or n > MAX_PAK then return false end
    local ty = tvb(0, 1):uint()
    local td = TYPES[ty]
    if not td or not td.len(n) then return false end
    if td.fixed then
      local b = { [0] = ty, tvb(1, 1):uint(), tvb(2, 1):uint() }
      if descramble(b, 3, FIXED_KEY)[2] ~= 0 then return false end
    elseif ty == 12 then
      if n - 3 > MAX_ENCODED_TURN then return false end
      local s = {}
      for i = 3, n - 1 do s[i] = tvb(i, 1):uint() end
      local _, _, overrun, unfinished = decode_turn(s, 3, n - 3)
      if overrun or unfinished then return false end
    end
    return true
  end)
  if not ok or not res then return false end
  kelmar.dissector(tvb, pinfo, root)
  return true
end

build_candidates()
DissectorTable.get("udp.port"):add(DEFAULT_PORT, kelmar)
registered_port = DEFAULT_PORT
kelmar:register_heuristic("udp", heuristic)
