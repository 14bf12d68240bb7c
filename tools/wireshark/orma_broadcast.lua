-- Wireshark dissectors for the two broadcast formats the ORMA relay reads
-- and writes:
--   ormanew  new-format market data: a 6-byte little-endian header and one
--            raw LZ4 block, decompressed here, of depth (10500), ticker
--            open-interest (10600) or ticker-price (10750) records;
--   ormaold  the old 512-byte big-endian datagram with its depth message
--            (transaction code 7208).
-- Both are found by their bytes on any UDP port (heuristics) and on the
-- ports set in Edit > Preferences > Protocols (ORMANEW, ORMAOLD), or with
-- tshark -o ormanew.ports:34001 -o ormaold.ports:34002.

local new_proto = Proto("ormanew", "ORMA new-format market data")
local old_proto = Proto("ormaold", "ORMA old-format broadcast")

local DEPTH_CODE, OI_CODE, PRICE_CODE = 10500, 10600, 10750
local MAX_DECOMPRESSED = 6000
local codes = { [DEPTH_CODE] = "Depth", [OI_CODE] = "Ticker open interest", [PRICE_CODE] = "Ticker price" }

-- ---- New format -----------------------------------------------------------

local nf = {
    code = ProtoField.int16("ormanew.code", "Transaction code", base.DEC, codes),
    compressed_length = ProtoField.int16("ormanew.compressed_length", "Compressed length"),
    records = ProtoField.int16("ormanew.records", "Records"),
    decompressed_length = ProtoField.uint16("ormanew.decompressed_length", "Decompressed length"),
    depth_token = ProtoField.int32("ormanew.depth.token", "Token"),
    depth_value_a = ProtoField.int32("ormanew.depth.value_a", "Value A"),
    depth_last_price = ProtoField.int32("ormanew.depth.last_price", "Last price"),
    depth_value_b = ProtoField.int32("ormanew.depth.value_b", "Value B"),
    depth_value_c = ProtoField.int32("ormanew.depth.value_c", "Value C"),
    depth_double_d = ProtoField.double("ormanew.depth.double_d", "Double D"),
    depth_double_e = ProtoField.double("ormanew.depth.double_e", "Double E"),
    depth_flags = ProtoField.uint24("ormanew.depth.flags", "Flags", base.HEX),
    depth_spare = ProtoField.uint8("ormanew.depth.spare", "Not read"),
    level_value1 = ProtoField.int32("ormanew.depth.level.value1", "Level value 1"),
    level_value2 = ProtoField.int32("ormanew.depth.level.value2", "Level value 2"),
    level_count = ProtoField.uint16("ormanew.depth.level.count", "Level count"),
    price_token = ProtoField.int32("ormanew.ticker.token", "Token"),
    price_open = ProtoField.int32("ormanew.ticker.open", "Open price"),
    price_high = ProtoField.int32("ormanew.ticker.high", "High price"),
    price_low = ProtoField.int32("ormanew.ticker.low", "Low price"),
    price_close = ProtoField.int32("ormanew.ticker.close", "Close price"),
    price_value5 = ProtoField.int32("ormanew.ticker.value5", "Ticker value 5"),
    price_value6 = ProtoField.int32("ormanew.ticker.value6", "Ticker value 6"),
    oi_token = ProtoField.int32("ormanew.oi.token", "Token"),
    oi_spare = ProtoField.bytes("ormanew.oi.spare", "Not read"),
    oi_open_interest = ProtoField.int32("ormanew.oi.open_interest", "Open interest"),
}
new_proto.fields = nf

local ef_bad_block = ProtoExpert.new("ormanew.bad_block", "LZ4 block does not decompress",
    expert.group.MALFORMED, expert.severity.ERROR)
local ef_short = ProtoExpert.new("ormanew.short", "Fewer decompressed bytes than the records need",
    expert.group.MALFORMED, expert.severity.WARN)
new_proto.experts = { ef_bad_block, ef_short }

new_proto.prefs.ports = Pref.range("UDP ports", "", "UDP ports that carry new-format market data", 65535)

-- Decodes one raw LZ4 block (no frame header) into a ByteArray; nil when
-- the block is malformed or decompresses to more than `limit` bytes.
local function lz4_block(tvb, offset, length, limit)
    local out = {}
    local n = 0
    local pos, stop = offset, offset + length
    while pos < stop do
        local token = tvb(pos, 1):uint()
        pos = pos + 1
        local literals = math.floor(token / 16)
        if literals == 15 then
            repeat
                if pos >= stop then return nil end
                local more = tvb(pos, 1):uint()
                pos = pos + 1
                literals = literals + more
            until more ~= 255
        end
        if pos + literals > stop or n + literals > limit then return nil end
        for i = 0, literals - 1 do
            out[n + 1] = tvb(pos + i, 1):uint()
            n = n + 1
        end
        pos = pos + literals
        if pos >= stop then break end -- the last sequence has literals only
        if pos + 2 > stop then return nil end
        local back = tvb(pos, 2):le_uint()
        pos = pos + 2
        if back == 0 or back > n then return nil end
        local match = token % 16
        if match == 15 then
            repeat
                if pos >= stop then return nil end
                local more = tvb(pos, 1):uint()
                pos = pos + 1
                match = match + more
            until more ~= 255
        end
        match = match + 4
        if n + match > limit then return nil end
        -- Byte by byte: a match may overlap what it copies.
        for _ = 1, match do
            out[n + 1] = out[n + 1 - back]
            n = n + 1
        end
    end
    local bytes = ByteArray.new()
    bytes:set_size(n)
    for i = 0, n - 1 do bytes:set_index(i, out[i + 1]) end
    return bytes
end

local function add_depth(tree, data, at, index)
    local record = tree:add(new_proto, data(at, 140), string.format("Depth record %d, token %d", index,
        data(at, 4):le_int()))
    record:add_le(nf.depth_token, data(at, 4))
    record:add_le(nf.depth_value_a, data(at + 4, 4))
    record:add_le(nf.depth_last_price, data(at + 8, 4))
    record:add_le(nf.depth_value_b, data(at + 12, 4))
    record:add_le(nf.depth_value_c, data(at + 16, 4))
    record:add_le(nf.depth_double_d, data(at + 20, 8))
    record:add_le(nf.depth_double_e, data(at + 28, 8))
    record:add_le(nf.depth_flags, data(at + 36, 3))
    record:add(nf.depth_spare, data(at + 39, 1))
    for level = 0, 9 do
        local l = at + 40 + level * 10
        local sub = record:add(new_proto, data(l, 10), string.format("Level %d", level))
        sub:add_le(nf.level_value1, data(l, 4))
        sub:add_le(nf.level_value2, data(l + 4, 4))
        sub:add_le(nf.level_count, data(l + 8, 2))
    end
end

local function add_price(tree, data, at, index)
    local record = tree:add(new_proto, data(at, 28), string.format("Ticker price record %d, token %d", index,
        data(at, 4):le_int()))
    record:add_le(nf.price_token, data(at, 4))
    record:add_le(nf.price_open, data(at + 4, 4))
    record:add_le(nf.price_high, data(at + 8, 4))
    record:add_le(nf.price_low, data(at + 12, 4))
    record:add_le(nf.price_close, data(at + 16, 4))
    record:add_le(nf.price_value5, data(at + 20, 4))
    record:add_le(nf.price_value6, data(at + 24, 4))
end

local function add_open_interest(tree, data, at, index)
    local record = tree:add(new_proto, data(at, 16), string.format("Ticker open-interest record %d, token %d", index,
        data(at, 4):le_int()))
    record:add_le(nf.oi_token, data(at, 4))
    record:add(nf.oi_spare, data(at + 4, 4))
    record:add_le(nf.oi_open_interest, data(at + 8, 4))
    record:add(nf.oi_spare, data(at + 12, 4))
end

local record_kinds = {
    [DEPTH_CODE] = { size = 140, add = add_depth },
    [OI_CODE] = { size = 16, add = add_open_interest },
    [PRICE_CODE] = { size = 28, add = add_price },
}

local function looks_new(tvb)
    if tvb:len() < 7 then return false end
    local code = tvb(0, 2):le_int()
    local compressed = tvb(2, 2):le_int()
    return record_kinds[code] ~= nil and compressed == tvb:len() - 6 and tvb(4, 2):le_int() > 0
end

function new_proto.dissector(tvb, pinfo, tree)
    if tvb:len() < 6 then return 0 end
    pinfo.cols.protocol = "ORMANEW"
    local code = tvb(0, 2):le_int()
    local compressed = tvb(2, 2):le_int()
    local records = tvb(4, 2):le_int()
    local root = tree:add(new_proto, tvb(), "ORMA new-format market data")
    root:add_le(nf.code, tvb(0, 2))
    root:add_le(nf.compressed_length, tvb(2, 2))
    root:add_le(nf.records, tvb(4, 2))
    pinfo.cols.info = string.format("%s, %d records", codes[code] or ("code " .. code), records)
    local kind = record_kinds[code]
    if not kind or compressed < 1 or 6 + compressed > tvb:len() then return tvb:len() end
    local bytes = lz4_block(tvb, 6, compressed, MAX_DECOMPRESSED)
    if not bytes then
        root:add_proto_expert_info(ef_bad_block)
        return tvb:len()
    end
    local data = bytes:tvb("Decompressed block")
    root:add(nf.decompressed_length, bytes:len()):set_generated()
    local whole = math.min(records, math.floor(bytes:len() / kind.size))
    if whole < records then root:add_proto_expert_info(ef_short) end
    for i = 0, whole - 1 do kind.add(root, data, i * kind.size, i) end
    return tvb:len()
end

-- ---- Old format -----------------------------------------------------------

local streams = { [4] = "QA", [2] = "QB", [6] = "QC", [8] = "QE" }

local of = {
    stream_code = ProtoField.uint8("ormaold.stream_code", "Stream code", base.DEC, streams),
    message_count = ProtoField.int16("ormaold.message_count", "Message count"),
    prefix_zero = ProtoField.bytes("ormaold.prefix_zero", "Zero"),
    message_zero = ProtoField.bytes("ormaold.message_zero", "Zero"),
    reserved = ProtoField.bytes("ormaold.reserved", "Reserved"),
    log_time = ProtoField.int32("ormaold.log_time", "Log time"),
    code = ProtoField.int16("ormaold.code", "Transaction code"),
    error_code = ProtoField.int16("ormaold.error_code", "Error code"),
    message_length = ProtoField.int16("ormaold.message_length", "Message length"),
    records = ProtoField.int16("ormaold.records", "Records"),
    token = ProtoField.int32("ormaold.token", "Token"),
    one = ProtoField.int16("ormaold.one", "One"),
    market_state = ProtoField.int16("ormaold.market_state", "Market state"),
    value_a = ProtoField.int32("ormaold.value_a", "Value A"),
    last_price = ProtoField.int32("ormaold.last_price", "Last price"),
    net_change_indicator = ProtoField.string("ormaold.net_change_indicator", "Net change indicator"),
    net_change = ProtoField.int32("ormaold.net_change", "Net change"),
    open_interest = ProtoField.int32("ormaold.open_interest", "Open interest"),
    value_b = ProtoField.int32("ormaold.value_b", "Value B"),
    value_c = ProtoField.int32("ormaold.value_c", "Value C"),
    level_value1 = ProtoField.int32("ormaold.level.value1", "Level value 1"),
    level_value2 = ProtoField.int32("ormaold.level.value2", "Level value 2"),
    level_count = ProtoField.uint16("ormaold.level.count", "Level count"),
    level_flag = ProtoField.int16("ormaold.level.flag", "Level flag"),
    side_flag = ProtoField.int16("ormaold.side_flag", "Side flag"),
    flag19_state = ProtoField.int16("ormaold.flag19_state", "Flag 19 state"),
    double_d = ProtoField.double("ormaold.double_d", "Double D"),
    double_e = ProtoField.double("ormaold.double_e", "Double E"),
    close = ProtoField.int32("ormaold.close", "Close price"),
    open = ProtoField.int32("ormaold.open", "Open price"),
    high = ProtoField.int32("ormaold.high", "High price"),
    low = ProtoField.int32("ormaold.low", "Low price"),
}
old_proto.fields = of
old_proto.prefs.ports = Pref.range("UDP ports", "", "UDP ports that carry old-format broadcasts", 65535)

local function looks_old(tvb)
    return tvb:len() == 512 and tvb(1, 1):uint() == 0 and tvb(2, 2):uint() == 1 and
        (tvb(0, 1):uint() == 0 or (streams[tvb(0, 1):uint()] ~= nil and tvb(24, 2):int() == 7208))
end

-- One depth record at `at`; `s` is the token's width (2 for QA, 4 otherwise).
local function add_old_record(tree, tvb, at, s, index)
    local size = s + 210
    local token = s == 2 and tvb(at, 2):int() or tvb(at, 4):int()
    local record = tree:add(old_proto, tvb(at, size), string.format("Depth record %d, token %d", index, token))
    record:add(of.token, tvb(at, s), token)
    record:add(of.one, tvb(at + s, 2))
    record:add(of.market_state, tvb(at + s + 2, 2))
    record:add(of.value_a, tvb(at + s + 4, 4))
    record:add(of.last_price, tvb(at + s + 8, 4))
    record:add(of.net_change_indicator, tvb(at + s + 12, 1))
    record:add(of.reserved, tvb(at + s + 13, 1))
    record:add(of.net_change, tvb(at + s + 14, 4))
    record:add(of.open_interest, tvb(at + s + 18, 4))
    record:add(of.value_b, tvb(at + s + 22, 4))
    record:add(of.value_c, tvb(at + s + 26, 4))
    record:add(of.reserved, tvb(at + s + 30, 22))
    for level = 0, 9 do
        local l = at + s + 52 + level * 12
        local sub = record:add(old_proto, tvb(l, 12), string.format("Level %d", level))
        sub:add(of.level_value1, tvb(l, 4))
        sub:add(of.level_value2, tvb(l + 4, 4))
        sub:add(of.level_count, tvb(l + 8, 2))
        sub:add(of.level_flag, tvb(l + 10, 2))
    end
    record:add(of.side_flag, tvb(at + s + 172, 2))
    record:add(of.flag19_state, tvb(at + s + 174, 2))
    record:add(of.double_d, tvb(at + s + 176, 8))
    record:add(of.double_e, tvb(at + s + 184, 8))
    record:add(of.reserved, tvb(at + s + 192, 2))
    record:add(of.close, tvb(at + s + 194, 4))
    record:add(of.open, tvb(at + s + 198, 4))
    record:add(of.high, tvb(at + s + 202, 4))
    record:add(of.low, tvb(at + s + 206, 4))
end

function old_proto.dissector(tvb, pinfo, tree)
    if tvb:len() < 6 then return 0 end
    pinfo.cols.protocol = "ORMAOLD"
    local root = tree:add(old_proto, tvb(), "ORMA old-format broadcast")
    local stream = tvb(0, 1):uint()
    root:add(of.stream_code, tvb(0, 1))
    root:add(of.prefix_zero, tvb(1, 1))
    root:add(of.message_count, tvb(2, 2))
    root:add(of.prefix_zero, tvb(4, 2))
    local s = stream == 4 and 2 or 4
    if not streams[stream] or tvb:len() < 6 + 50 + 2 * (s + 210) then
        pinfo.cols.info = "No message"
        return tvb:len()
    end
    local m = 6
    local message = root:add(old_proto, tvb(m, 50 + 2 * (s + 210)), "Depth message")
    message:add(of.message_zero, tvb(m, 8))
    local header = message:add(old_proto, tvb(m + 8, 40), "Header")
    header:add(of.reserved, tvb(m + 8, 4))
    header:add(of.log_time, tvb(m + 12, 4))
    header:add(of.reserved, tvb(m + 16, 2))
    header:add(of.code, tvb(m + 18, 2))
    header:add(of.error_code, tvb(m + 20, 2))
    header:add(of.reserved, tvb(m + 22, 24))
    header:add(of.message_length, tvb(m + 46, 2))
    local records = tvb(m + 48, 2):int()
    message:add(of.records, tvb(m + 48, 2))
    local shown = math.max(0, math.min(records, 2))
    for i = 0, shown - 1 do add_old_record(message, tvb, m + 50 + i * (s + 210), s, i) end
    pinfo.cols.info = string.format("%s depth, %d records", streams[stream], records)
    return tvb:len()
end

-- ---- Registration ---------------------------------------------------------

local udp_port = DissectorTable.get("udp.port")

local function follow_ports(proto)
    local registered = ""
    return function()
        if registered ~= "" then udp_port:remove(registered, proto) end
        registered = proto.prefs.ports
        if registered ~= "" then udp_port:add(registered, proto) end
    end
end
new_proto.prefs_changed = follow_ports(new_proto)
old_proto.prefs_changed = follow_ports(old_proto)

new_proto:register_heuristic("udp", function(tvb, pinfo, tree)
    if not looks_new(tvb) then return false end
    new_proto.dissector(tvb, pinfo, tree)
    return true
end)
old_proto:register_heuristic("udp", function(tvb, pinfo, tree)
    if not looks_old(tvb) then return false end
    old_proto.dissector(tvb, pinfo, tree)
    return true
end)
