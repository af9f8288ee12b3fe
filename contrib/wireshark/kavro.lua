-- Wireshark dissector for the links kavro runs to a PBX.
--
--   kavro:     the layer-2 link of serial and USB links, in captures of raw
--              serial bytes on link type USER0 (147): SYN SYN, control,
--              address, CRC-16; I-frames with a length, a header CRC and a
--              payload CRC; the service request and the PBX's "CTI" answer.
--   kavro_tcp: the framing of TCP links (0xC5, 16-bit length, payload), on
--              the PBX port 5002 and, by content, on any other port.
--
-- Load it with  wireshark -X lua_script:kavro.lua  (or tshark), or copy it
-- into the personal plugins folder (Help > About > Folders). README.md next
-- to it tells how to make a capture.

local SYN = 0x16
local CR = 0x0D
local SOCKET_FRAME_TAG = 0xC5
local KEEPALIVE_MARK = 0xF2
local MAX_I_PAYLOAD = 2038
local PBX_PORT = 5002

-- Lua 5.2 builds have bit32 (and Wireshark's "bit"); Lua 5.3 and later have
-- the operators, which an older parser cannot read, hence the load().
local band, bxor, lshift, rshift
do
  local lib = rawget(_G, "bit32") or rawget(_G, "bit")
  if lib then
    band, bxor, lshift, rshift = lib.band, lib.bxor, lib.lshift, lib.rshift
  else
    band, bxor, lshift, rshift = load([[return
      function(a, b) return a & b end, function(a, b) return a ~ b end,
      function(a, n) return a << n end, function(a, n) return a >> n end]])()
  end
end

-- CRC-16/CCITT-FALSE: polynomial 0x1021, initial 0xFFFF, no reflection, no
-- final XOR. Over a block followed by its CRC (high byte first) it gives 0.
local crc_table = {}
for i = 0, 255 do
  local c = lshift(i, 8)
  for _ = 1, 8 do
    if band(c, 0x8000) ~= 0 then c = bxor(lshift(c, 1), 0x1021) else c = lshift(c, 1) end
    c = band(c, 0xFFFF)
  end
  crc_table[i] = c
end

local function crc16(bytes, offset, count)
  local crc = 0xFFFF
  for i = offset, offset + count - 1 do
    crc = band(bxor(lshift(crc, 8), crc_table[bxor(rshift(crc, 8), bytes:get_index(i))]), 0xFFFF)
  end
  return crc
end

-- ---------------------------------------------------------------------------
-- Layer 2 of serial and USB links

local kavro = Proto("kavro", "kavro layer 2 (serial/USB link)")

local f = {
  frame = ProtoField.none("kavro.frame", "Frame"),
  syn = ProtoField.uint16("kavro.syn", "SYN SYN", base.HEX),
  control = ProtoField.uint8("kavro.control", "Control", base.HEX),
  type = ProtoField.string("kavro.type", "Type"),
  ns = ProtoField.uint8("kavro.ns", "N(S)", base.DEC, nil, 0x0E),
  nr = ProtoField.uint8("kavro.nr", "N(R)", base.DEC, nil, 0xE0),
  pf = ProtoField.bool("kavro.pf", "P/F", 8, nil, 0x10),
  address = ProtoField.uint8("kavro.address", "Address", base.HEX),
  length = ProtoField.uint16("kavro.length", "Length", base.DEC),
  crc = ProtoField.uint16("kavro.crc", "CRC", base.HEX),
  header_crc = ProtoField.uint16("kavro.header_crc", "Header CRC", base.HEX),
  payload_crc = ProtoField.uint16("kavro.payload_crc", "Payload CRC", base.HEX),
  crc_expected = ProtoField.uint16("kavro.crc.expected", "Expected CRC", base.HEX),
  crc_good = ProtoField.bool("kavro.crc.good", "CRC good"),
  payload = ProtoField.bytes("kavro.payload", "Payload"),
  request = ProtoField.bytes("kavro.service_request", "Service request"),
  answer = ProtoField.string("kavro.service_answer", "Service answer"),
  rate = ProtoField.string("kavro.rate", "Rate"),
  text = ProtoField.string("kavro.text", "Text line"),
  noise = ProtoField.bytes("kavro.noise", "Noise"),
  incomplete = ProtoField.bytes("kavro.incomplete", "Incomplete frame"),
  carried = ProtoField.uint32("kavro.carried", "Bytes carried over", base.DEC),
  carried_from = ProtoField.framenum("kavro.carried_from", "Carried over from"),
}
kavro.fields = {}
for _, field in pairs(f) do table.insert(kavro.fields, field) end

local e = {
  crc = ProtoExpert.new("kavro.crc.bad", "Bad CRC: kavro drops the frame and hunts on two bytes further",
                        expert.group.CHECKSUM, expert.severity.ERROR),
  length = ProtoExpert.new("kavro.length.bad", "Length over 2038: not a frame",
                           expert.group.MALFORMED, expert.severity.ERROR),
  noise = ProtoExpert.new("kavro.noise", "Bytes outside any frame", expert.group.PROTOCOL, expert.severity.NOTE),
  incomplete = ProtoExpert.new("kavro.incomplete", "Frame continues in a later packet",
                               expert.group.REASSEMBLE, expert.severity.NOTE),
  cut = ProtoExpert.new("kavro.cut", "The capture holds only the start of this packet",
                        expert.group.UNDECODED, expert.severity.WARN),
}
kavro.experts = { e.crc, e.length, e.noise, e.incomplete, e.cut }

local S_NAMES = { [0x01] = "RR", [0x05] = "RNR", [0x09] = "REJ" }
local U_NAMES = { [0x3F] = "START", [0x73] = "UA", [0x53] = "DISC", [0x0F] = "DM", [0x83] = "FRMR" }

local function is_text(b) return (b >= 0x20 and b < 0x7F) or b == 0x09 or b == 0x0A or b == CR end

local function text_of(bytes, from, to)
  local chars = {}
  for i = from, to - 1 do
    local b = bytes:get_index(i)
    local escape = ({ [0x09] = "\\t", [0x0A] = "\\n", [0x0D] = "\\r" })[b]
    chars[#chars + 1] = escape or ((b >= 0x20 and b < 0x7F) and string.char(b) or string.format("\\x%02X", b))
  end
  return table.concat(chars)
end

-- The rate kavro takes from a service answer: the rest of the line from the
-- first of these that occurs, tried in this order.
local RATES = { "1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200" }
local function rate_of(line)
  for _, rate in ipairs(RATES) do
    local at = string.find(line, rate, 1, true)
    if at then return string.sub(line, at) end
  end
  return nil
end

-- Bytes that are no frame: the service request, text lines (the answer among
-- them) and noise.
local function add_unframed(tvb, bytes, from, to, tree, info)
  local shown = from
  local function noise(upto)
    if upto > shown then
      tree:add(f.noise, tvb(shown, upto - shown)):add_proto_expert_info(e.noise)
      info[#info + 1] = "Noise"
      shown = upto
    end
  end
  local i = from
  while i < to do
    local b = bytes:get_index(i)
    if b == 0x1B and i + 1 < to and bytes:get_index(i + 1) == 0x43 then
      noise(i)
      tree:add(f.request, tvb(i, 2))
      info[#info + 1] = "Service request"
      i = i + 2
      shown = i
    else
      if b == CR then
        -- The line is the text in front of the carriage return.
        local start, printable = i, false
        while start > shown and is_text(bytes:get_index(start - 1)) and bytes:get_index(start - 1) ~= CR do
          start = start - 1
          local c = bytes:get_index(start)
          printable = printable or (c > 0x20 and c < 0x7F)
        end
        if printable then
          noise(start)
          local line = text_of(bytes, start, i)
          local cti = string.find(line, "CTI", 1, true)
          if cti then
            local item = tree:add(f.answer, tvb(start, i - start + 1), line)
            local rate = rate_of(string.sub(line, cti))
            item:add(f.rate, rate or "none: the line speed stays"):set_generated()
            info[#info + 1] = "Service answer" .. (rate and (", rate " .. rate) or "")
          else
            tree:add(f.text, tvb(start, i - start + 1), line)
            info[#info + 1] = "Text"
          end
          shown = i + 1
        end
      end
      i = i + 1
    end
  end
  noise(to)
end

local function add_crc(tree, field, tvb, at, value, expected)
  local item = tree:add(field, tvb(at, 2))
  if value == expected then
    item:append_text(" [correct]")
  else
    item:append_text(string.format(" [incorrect, should be 0x%04x]", expected))
    item:add_proto_expert_info(e.crc)
  end
  tree:add(f.crc_expected, expected):set_generated()
  tree:add(f.crc_good, value == expected):set_generated()
  return value == expected
end

-- Adds one frame at `at`; returns its size on the wire and whether it is good.
local function add_frame(tvb, bytes, at, size, tree, info)
  local control = bytes:get_index(at + 2)
  local frame = tree:add(f.frame, tvb(at, size))
  frame:add(f.syn, tvb(at, 2))
  local ctl = frame:add(f.control, tvb(at + 2, 1))
  local name, summary
  if band(control, 1) == 0 then
    name = "I"
    ctl:add(f.ns, tvb(at + 2, 1))
    ctl:add(f.nr, tvb(at + 2, 1))
    summary = string.format("I N(S)=%d N(R)=%d", band(rshift(control, 1), 7), rshift(control, 5))
  elseif band(control, 3) == 1 then
    name = S_NAMES[band(control, 0x0F)] or "unknown"
    ctl:add(f.nr, tvb(at + 2, 1))
    ctl:add(f.pf, tvb(at + 2, 1))
    summary = string.format("%s N(R)=%d%s", name, rshift(control, 5), band(control, 0x10) ~= 0 and " P/F" or "")
  else
    name = U_NAMES[control] or "unknown"
    summary = name
  end
  if name == "unknown" then summary = string.format("unknown 0x%02X", control) end
  ctl:add(f.type, name):set_generated()
  frame:add(f.address, tvb(at + 3, 1))

  local good
  if name ~= "I" then
    good = add_crc(frame, f.crc, tvb, at + 4, tvb(at + 4, 2):uint(), crc16(bytes, at + 2, 2))
  else
    local length = tvb(at + 4, 2):uint()
    local item = frame:add(f.length, tvb(at + 4, 2))
    summary = summary .. string.format(" len=%d", length)
    if length > MAX_I_PAYLOAD then
      item:add_proto_expert_info(e.length)
      good = false
    else
      good = add_crc(frame, f.header_crc, tvb, at + 6, tvb(at + 6, 2):uint(), crc16(bytes, at + 2, 4))
      if good then
        if length > 0 then frame:add(f.payload, tvb(at + 8, length)) end
        good = add_crc(frame, f.payload_crc, tvb, at + 8 + length, tvb(at + 8 + length, 2):uint(),
                       crc16(bytes, at + 8, length))
      end
    end
  end
  if not good then summary = summary .. " [BAD]" end
  frame:append_text(": " .. summary)
  info[#info + 1] = summary
  return good
end

-- Cuts frames out of one stretch of serial bytes as kavro's receive parser
-- does: a frame that fails a check loses only its two SYN bytes and the hunt
-- resumes inside it. Returns the offset of a frame that goes on beyond the
-- end, if any.
local function dissect_serial(tvb, tree, info)
  local bytes = tvb:bytes()
  local n = bytes:len()
  local pos, covered = 0, 0
  local gap_from, gap_to = nil, nil  -- bytes outside any frame, not yet shown
  local function show_gap()
    if gap_from then add_unframed(tvb, bytes, gap_from, gap_to, tree, info) end
    gap_from = nil
  end
  while pos < n do
    local s = pos
    while s < n and not (bytes:get_index(s) == SYN and (s + 1 == n or bytes:get_index(s + 1) == SYN)) do s = s + 1 end
    if s > pos then
      -- The rest of a damaged frame, passed over again, is that frame's.
      local from = math.max(pos, covered)
      if from < s then
        if gap_from and gap_to ~= from then show_gap() end
        gap_from = gap_from or from
        gap_to = s
      end
      pos = s
    end
    if pos >= n then break end
    if n - pos < 6 then show_gap(); return pos end
    local control = bytes:get_index(pos + 2)
    local size = 6
    if band(control, 1) == 0 then
      local length = bytes:get_index(pos + 4) * 256 + bytes:get_index(pos + 5)
      if length <= MAX_I_PAYLOAD then
        if n - pos < 8 then show_gap(); return pos end
        if crc16(bytes, pos + 2, 6) ~= 0 then
          size = 8
        else
          size = length + 10
          if n - pos < size then show_gap(); return pos end
        end
      end
    end
    show_gap()
    if add_frame(tvb, bytes, pos, size, tree, info) then
      pos = pos + size
    else
      covered = pos + size
      pos = pos + 2
    end
  end
  show_gap()
  return nil
end

-- A frame may be split across packets (one packet is one read or write):
-- its start is carried over to the next packet of the same direction. The
-- first pass records what each packet starts with; later passes reuse it.
local carry = {}
local carried_into = {}

function kavro.init()
  carry = {}
  carried_into = {}
end

function kavro.dissector(tvb, pinfo, tree)
  pinfo.cols.protocol = "KAVRO"
  local direction = pinfo.p2p_dir
  local key = tostring(direction)
  local prefix
  if not pinfo.visited then
    prefix = carry[key]
    carry[key] = nil
    carried_into[pinfo.number] = prefix
  else
    prefix = carried_into[pinfo.number]
  end

  local data = tvb
  if prefix then data = (prefix.bytes .. tvb:bytes()):tvb("Serial bytes with the carried-over start") end

  local heading = "kavro layer 2"
  local side = ""
  if direction == P2P_DIR_SENT then
    heading, side = heading .. ", sent to the PBX", "sent: "
  elseif direction == P2P_DIR_RECV then
    heading, side = heading .. ", received from the PBX", "rcvd: "
  end
  local root = tree:add(kavro, tvb(), heading)
  if prefix then
    root:add(f.carried, prefix.bytes:len()):set_generated()
    root:add(f.carried_from, prefix.from):set_generated()
  end

  local info = {}
  local rest = dissect_serial(data, root, info)
  -- A packet cut short in the capture breaks the stream: what follows it
  -- cannot be joined to its end.
  local cut = tvb:reported_len() > tvb:len()
  if rest then
    local item = root:add(f.incomplete, data(rest))
    if cut then
      item:add_proto_expert_info(e.cut)
      info[#info + 1] = "Frame start (packet cut short)"
    else
      item:add_proto_expert_info(e.incomplete)
      info[#info + 1] = "Frame start"
      if not pinfo.visited then
        carry[key] = { bytes = data:bytes():subset(rest, data:len() - rest), from = pinfo.number }
      end
    end
  end
  pinfo.cols.info = side .. table.concat(info, ", ")
  return tvb:len()
end

local encaps = rawget(_G, "wtap_encaps") or rawget(_G, "wtap")
DissectorTable.get("wtap_encap"):add(encaps.USER0, kavro)

-- ---------------------------------------------------------------------------
-- TCP links

local kavro_tcp = Proto("kavro_tcp", "kavro TCP link")

local t = {
  tag = ProtoField.uint8("kavro_tcp.tag", "Tag", base.HEX),
  length = ProtoField.uint16("kavro_tcp.length", "Length", base.DEC),
  payload = ProtoField.bytes("kavro_tcp.payload", "Payload"),
  keepalive = ProtoField.bool("kavro_tcp.keepalive", "Keepalive"),
  garbage = ProtoField.bytes("kavro_tcp.garbage", "Not a frame"),
}
kavro_tcp.fields = { t.tag, t.length, t.payload, t.keepalive, t.garbage }

local te = {
  garbage = ProtoExpert.new("kavro_tcp.garbage", "No 0xC5 tag: kavro drops every byte it holds",
                            expert.group.MALFORMED, expert.severity.ERROR),
}
kavro_tcp.experts = { te.garbage }

-- Several frames in one segment share the Info column.
local info_packet = nil

local function add_info(pinfo, text)
  if info_packet ~= pinfo.number then
    info_packet = pinfo.number
    pinfo.cols.info = text
  else
    pinfo.cols.info:append(", " .. text)
  end
end

local function tcp_frame_size(tvb, pinfo, offset)
  if tvb(offset, 1):uint() ~= SOCKET_FRAME_TAG then return tvb:len() - offset end
  return 3 + tvb(offset + 1, 2):uint()
end

local function dissect_tcp_frame(tvb, pinfo, tree)
  pinfo.cols.protocol = "KAVRO-TCP"
  if tvb(0, 1):uint() ~= SOCKET_FRAME_TAG then
    tree:add(kavro_tcp, tvb(), "kavro TCP link"):add(t.garbage, tvb()):add_proto_expert_info(te.garbage)
    add_info(pinfo, "Not a frame")
    return tvb:len()
  end
  local length = tvb(1, 2):uint()
  local keepalive = length > 0 and tvb(3, 1):uint() == KEEPALIVE_MARK
  local root = tree:add(kavro_tcp, tvb(), keepalive and "kavro TCP keepalive" or "kavro TCP frame")
  root:add(t.tag, tvb(0, 1))
  root:add(t.length, tvb(1, 2))
  if length > 0 then root:add(t.payload, tvb(3, length)) end
  root:add(t.keepalive, keepalive):set_generated()
  add_info(pinfo, keepalive and "Keepalive" or string.format("Frame, %d bytes", length))
  return tvb:len()
end

function kavro_tcp.dissector(tvb, pinfo, tree)
  dissect_tcp_pdus(tvb, tree, 3, tcp_frame_size, dissect_tcp_frame)
  return tvb:len()
end

-- Off the PBX port, a segment is taken for this link only when it is whole
-- frames from its first byte to its last.
local function heuristic(tvb, pinfo, tree)
  local n = tvb:len()
  local offset = 0
  while offset < n do
    if n - offset < 3 or tvb(offset, 1):uint() ~= SOCKET_FRAME_TAG then return false end
    offset = offset + 3 + tvb(offset + 1, 2):uint()
  end
  if offset ~= n then return false end
  pinfo.conversation = kavro_tcp
  kavro_tcp.dissector(tvb, pinfo, tree)
  return true
end

DissectorTable.get("tcp.port"):add(PBX_PORT, kavro_tcp)
kavro_tcp:register_heuristic("tcp", heuristic)
