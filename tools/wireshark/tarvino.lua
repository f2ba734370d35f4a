-- Wireshark dissector of Tarvino's device protocols.
--
--   tarvino     UDP and TCP 52389: discovery and the board's commands. A 25-byte header
--               (destination and source address records, format version, protocol code,
--               status, command), then either parameter elements (id, length, value) up to
--               FF FF, or, in a command's reply, the two-byte acknowledgement code.
--   tarvinobus  UDP 52390: the controller bus. Frames of unit, function, (sub-command |
--               block marker, 24-bit address, count, data) and a CRC-16/MODBUS, low byte
--               first: width 16, polynomial 0x8005 reflected as 0xA001, initial value 0xFFFF.
--
-- Values are decoded as the program decodes them (protocol/datagram.cpp, protocol/devicetypes.cpp):
-- the kind of a parameter comes from its id, and for ids 10 and 11 from the built-in device
-- type's table when the reply carries its type code. Installed into Wireshark's global Lua
-- plugin folder (tshark -G folders); by hand: tshark -X lua_script:tarvino.lua.

local DEVICE_PORT = 52389
local BUS_PORT = 52390
local HEADER_SIZE = 25
local TERMINATOR = 0xFFFF
local BUILT_IN_TYPE_CODE = 0x000B1156

-- ---- Device protocol (52389) ------------------------------------------------------------------

local commands = {
    [1] = "Discover", [3] = "StartFtpServer", [4] = "StopFtpServer", [5] = "StartUpdater",
    [6] = "StopUpdater", [7] = "StartDaemon", [8] = "StopDaemon", [9] = "SetDropBear",
    [11] = "SystemUpgrade",
}
-- The acknowledgement code each command's reply carries (3 and 4 share theirs).
local ack_codes = {
    [3] = 0xFFFE, [4] = 0xFFFE, [5] = 0xFFFD, [6] = 0xFFFC, [7] = 0xFFFB, [8] = 0xFFFA,
    [9] = 0xFFF9, [11] = 0xFFF7,
}
local record_types = { [1] = "Hardware address", [2] = "IPv4 address" }

local KIND_RAW, KIND_IPV4, KIND_TEXT, KIND_BYTE, KIND_WORD, KIND_LONG, KIND_MAC = 0, 1, 2, 3, 4, 5, 6
local parameters = {
    [1] = { "Subnet mask", KIND_IPV4 },      [2] = { "IP address", KIND_IPV4 },
    [3] = { "Gateway", KIND_IPV4 },          [4] = { "Word 4", KIND_WORD },
    [5] = { "Type text", KIND_TEXT },        [6] = { "Network flags", KIND_BYTE },
    [7] = { "Name", KIND_TEXT },             [10] = { "Hardware address", KIND_MAC, true },
    [11] = { "Text 11", KIND_TEXT, true },   [12] = { "Hardware version", KIND_TEXT },
    [13] = { "Type code", KIND_LONG },       [14] = { "DNS 1", KIND_IPV4 },
    [15] = { "DNS 2", KIND_IPV4 },           [16] = { "Bootstrap version", KIND_TEXT },
    [17] = { "Kernel version", KIND_TEXT },  [18] = { "Firmware version", KIND_TEXT },
}
local parameter_names = {}
for id, row in pairs(parameters) do parameter_names[id] = row[1] end
parameter_names[TERMINATOR] = "End of list"
local kind_sizes = { [KIND_IPV4] = 4, [KIND_BYTE] = 1, [KIND_WORD] = 2, [KIND_LONG] = 4, [KIND_MAC] = 6 }

local tarvino = Proto("tarvino", "Tarvino device protocol")
local pf = {
    kind = ProtoField.string("tarvino.kind", "Message"),
    dst = ProtoField.bytes("tarvino.dst", "Destination"),
    src = ProtoField.bytes("tarvino.src", "Source"),
    dst_type = ProtoField.uint16("tarvino.dst.type", "Record type", base.DEC, record_types),
    dst_mac = ProtoField.ether("tarvino.dst.mac", "Hardware address"),
    dst_ip = ProtoField.ipv4("tarvino.dst.ip", "IPv4 address"),
    dst_port = ProtoField.uint16("tarvino.dst.port", "Port"),
    src_type = ProtoField.uint16("tarvino.src.type", "Record type", base.DEC, record_types),
    src_mac = ProtoField.ether("tarvino.src.mac", "Hardware address"),
    src_ip = ProtoField.ipv4("tarvino.src.ip", "IPv4 address"),
    src_port = ProtoField.uint16("tarvino.src.port", "Port"),
    broadcast = ProtoField.bool("tarvino.dst.broadcast", "To every device"),
    version = ProtoField.uint16("tarvino.version", "Format version", base.HEX),
    protocol_code = ProtoField.uint16("tarvino.protocol_code", "Protocol code", base.HEX),
    status = ProtoField.uint32("tarvino.status", "Status", base.HEX),
    command = ProtoField.uint8("tarvino.command", "Command", base.DEC, commands),
    ack = ProtoField.uint16("tarvino.ack", "Acknowledgement code", base.HEX),
    ack_ok = ProtoField.bool("tarvino.ack.matches", "Acknowledges the command"),
    param = ProtoField.none("tarvino.param", "Parameter"),
    param_id = ProtoField.uint16("tarvino.param.id", "Id", base.DEC, parameter_names),
    param_length = ProtoField.uint8("tarvino.param.length", "Length"),
    param_value = ProtoField.bytes("tarvino.param.value", "Value"),
    param_ip = ProtoField.ipv4("tarvino.param.ipv4", "Address"),
    param_text = ProtoField.string("tarvino.param.text", "Text", base.UNICODE),
    param_byte = ProtoField.uint8("tarvino.param.byte", "Byte", base.HEX),
    param_dhcp = ProtoField.bool("tarvino.param.dhcp", "DHCP", 8, nil, 0x10),
    param_word = ProtoField.uint16("tarvino.param.word", "Word", base.DEC),
    param_long = ProtoField.uint32("tarvino.param.long", "Long", base.HEX),
    param_mac = ProtoField.ether("tarvino.param.mac", "Hardware address"),
    terminator = ProtoField.uint16("tarvino.terminator", "End of list", base.HEX),
}
tarvino.fields = pf
local ef = {
    short = ProtoExpert.new("tarvino.short", "Shorter than the 25-byte header", expert.group.MALFORMED, expert.severity.ERROR),
    overrun = ProtoExpert.new("tarvino.overrun", "Element runs past the end of the message", expert.group.MALFORMED, expert.severity.ERROR),
    misfit = ProtoExpert.new("tarvino.misfit", "Length does not fit the kind: the program keeps the value it had", expert.group.MALFORMED, expert.severity.WARN),
    no_ack = ProtoExpert.new("tarvino.wrong_ack", "Not the acknowledgement code of this command", expert.group.RESPONSE_CODE, expert.severity.WARN),
}
tarvino.experts = { ef.short, ef.overrun, ef.misfit, ef.no_ack }

local function all_bytes(range, value)
    for i = 0, range:len() - 1 do
        if range(i, 1):uint() ~= value then return false end
    end
    return true
end

local function mac_text(range)
    local parts = {}
    for i = 0, 5 do parts[#parts + 1] = string.format("%02x", range(i, 1):uint()) end
    return table.concat(parts, ":")
end

-- An 8-byte address record: type 1 with a hardware address, or type 2 with an IPv4 address and port.
local function add_record(tree, side, range)
    local item = tree:add(pf[side], range)
    local record_type = range(0, 2):uint()
    item:add(pf[side .. "_type"], range(0, 2))
    if record_type == 1 then
        item:add(pf[side .. "_mac"], range(2, 6))
        item:append_text(" (" .. mac_text(range(2, 6)) .. ")")
    elseif record_type == 2 then
        item:add(pf[side .. "_ip"], range(2, 4))
        item:add(pf[side .. "_port"], range(6, 2))
        item:append_text(" (" .. tostring(range(2, 4):ipv4()) .. ":" .. range(6, 2):uint() .. ")")
    end
    return item
end

-- The parameter elements from offset 25: one subtree per element, its value decoded by kind.
local function add_parameters(tvb, pinfo, tree)
    local length = tvb:len()
    local type_code = nil
    -- The table of the built-in type applies to the ids that only it names.
    local at = HEADER_SIZE
    while length - at >= 3 and tvb(at, 2):uint() ~= TERMINATOR do
        local value_length = tvb(at + 2, 1):uint()
        if at + 3 + value_length > length then break end
        if tvb(at, 2):uint() == 13 and value_length == 4 then type_code = tvb(at + 3, 4):uint() end
        at = at + 3 + value_length
    end

    local names = {}
    at = HEADER_SIZE
    while length - at >= 2 do
        local id = tvb(at, 2):uint()
        if id == TERMINATOR then
            tree:add(pf.terminator, tvb(at, 2))
            break
        end
        if length - at < 3 then
            tree:add_proto_expert_info(ef.overrun)
            break
        end
        local value_length = tvb(at + 2, 1):uint()
        if at + 3 + value_length > length then
            local item = tree:add(pf.param, tvb(at, length - at))
            item:add(pf.param_id, tvb(at, 2))
            item:add(pf.param_length, tvb(at + 2, 1))
            item:add_proto_expert_info(ef.overrun)
            break
        end
        local element = tvb(at, 3 + value_length)
        local item = tree:add(pf.param, element)
        item:add(pf.param_id, tvb(at, 2))
        item:add(pf.param_length, tvb(at + 2, 1))
        local row = parameters[id]
        local name = row and row[1] or ("Parameter " .. id)
        local kind = KIND_RAW
        if row and (not row[3] or type_code == BUILT_IN_TYPE_CODE) then kind = row[2] end
        item:set_text(name .. " (" .. id .. ")")
        if value_length > 0 then
            local value = tvb(at + 3, value_length)
            item:add(pf.param_value, value)
            local size = kind_sizes[kind]
            if size and size ~= value_length then
                item:add_proto_expert_info(ef.misfit)
            elseif kind == KIND_IPV4 then
                item:add(pf.param_ip, value)
                item:append_text(": " .. tostring(value:ipv4()))
            elseif kind == KIND_TEXT then
                local text = value:string(ENC_UTF_8)
                item:add(pf.param_text, value, text)
                item:append_text(": \"" .. text .. "\"")
            elseif kind == KIND_BYTE then
                item:add(pf.param_byte, value)
                if id == 6 then item:add(pf.param_dhcp, value) end
                item:append_text(string.format(": 0x%02X", value:uint()))
            elseif kind == KIND_WORD then
                item:add(pf.param_word, value)
                item:append_text(": " .. value:uint())
            elseif kind == KIND_LONG then
                item:add(pf.param_long, value)
                item:append_text(string.format(": 0x%08X", value:uint()))
            elseif kind == KIND_MAC then
                item:add(pf.param_mac, value)
                item:append_text(": " .. mac_text(value))
            else
                item:append_text(": " .. value_length .. " bytes")
            end
        elseif kind == KIND_TEXT then
            item:add(pf.param_text, tvb(at + 3, 0), "")
            item:append_text(": \"\"")
        end
        names[#names + 1] = name
        at = at + 3 + value_length
    end
    return names
end

-- A device answers with its own hardware address record as the source; the program's requests
-- carry a zero source (broadcast) or its own IPv4 record.
local function is_reply(tvb)
    return tvb(8, 2):uint() == 1 and not all_bytes(tvb(10, 6), 0)
end


local function dissect_message(tvb, pinfo, tree)
    pinfo.cols.protocol = "TARVINO"
    local subtree = tree:add(tarvino, tvb())
    if tvb:len() < HEADER_SIZE then
        subtree:add_proto_expert_info(ef.short)
        pinfo.cols.info = "Malformed (" .. tvb:len() .. " bytes)"
        return
    end
    local reply = is_reply(tvb)
    local command = tvb(24, 1):uint()
    local command_name = commands[command] or ("Command " .. command)
    local dst = add_record(subtree, "dst", tvb(0, 8))
    dst:add(pf.broadcast, tvb(0, 8), tvb(0, 2):uint() == 1 and all_bytes(tvb(2, 6), 0xFF))
    add_record(subtree, "src", tvb(8, 8))
    subtree:add(pf.version, tvb(16, 2))
    subtree:add(pf.protocol_code, tvb(18, 2))
    subtree:add(pf.status, tvb(20, 4))
    subtree:add(pf.command, tvb(24, 1))

    local info
    if reply and command ~= 0 and command ~= 1 then
        subtree:add(pf.kind, tvb(24, 1), "Command reply")
        info = command_name .. " reply"
        if tvb:len() >= HEADER_SIZE + 2 then
            local code = tvb(25, 2):uint()
            subtree:add(pf.ack, tvb(25, 2))
            local matches = ack_codes[command] == code and tvb(23, 1):uint() == 0
            local item = subtree:add(pf.ack_ok, tvb(25, 2), matches)
            if not matches then item:add_proto_expert_info(ef.no_ack) end
            info = info .. string.format(", code 0x%04X%s", code, matches and "" or " (not its acknowledgement)")
        end
    else
        subtree:add(pf.kind, tvb(24, 1), reply and "Discovery reply" or "Request")
        local names = add_parameters(tvb, pinfo, subtree)
        info = command_name .. (reply and " reply" or " request")
        if reply then
            info = info .. " from " .. mac_text(tvb(10, 6))
        elseif #names > 0 then
            info = info .. ", asks for " .. #names .. " parameters"
        end
    end
    pinfo.cols.info = info
end

function tarvino.dissector(tvb, pinfo, tree)
    dissect_message(tvb, pinfo, tree)
    return tvb:len()
end

-- Over TCP one message may come in pieces or several in one segment: a command reply is
-- complete with its acknowledgement code, anything else once its list reaches FF FF.
local function message_length(tvb, offset)
    local available = tvb:len() - offset
    if available < HEADER_SIZE then return -DESEGMENT_ONE_MORE_SEGMENT end
    local command = tvb(offset + 24, 1):uint()
    if is_reply(tvb(offset, HEADER_SIZE):tvb()) and command ~= 0 and command ~= 1 then
        if available < HEADER_SIZE + 2 then return -DESEGMENT_ONE_MORE_SEGMENT end
        return HEADER_SIZE + 2
    end
    local at = HEADER_SIZE
    while available - at >= 2 do
        if tvb(offset + at, 2):uint() == TERMINATOR then return at + 2 end
        if available - at < 3 then break end
        at = at + 3 + tvb(offset + at + 2, 1):uint()
    end
    return -DESEGMENT_ONE_MORE_SEGMENT
end

local tarvino_tcp = Proto("tarvino_tcp", "Tarvino device protocol over TCP")
function tarvino_tcp.dissector(tvb, pinfo, tree)
    local offset = 0
    while offset < tvb:len() do
        local size = message_length(tvb, offset)
        if size < 0 then
            pinfo.desegment_offset = offset
            pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
            return tvb:len()
        end
        dissect_message(tvb(offset, size):tvb(), pinfo, tree)
        offset = offset + size
    end
    return offset
end

-- ---- Controller bus (52390) -------------------------------------------------------------------

local FN_COMMAND, FN_READ, FN_WRITE, BLOCK_MARKER = 0x64, 0x6E, 0x6F, 0x06
local functions = { [FN_COMMAND] = "Command", [FN_READ] = "Read block", [FN_WRITE] = "Write block" }
local sub_commands = {
    [0x00] = "Reset", [0xD0] = "SetConfigStart", [0xD1] = "SetConfigStop", [0xD2] = "GetConfigStart",
    [0xD3] = "GetConfigStop", [0xD4] = "GetLogs", [0xD5] = "GetLogsStop", [0xD6] = "NextLogBlock",
    [0xD7] = "EraseLogs", [0xD8] = "GetDiagnoseStart", [0xD9] = "GetDiagnoseStop", [0xFE] = "EnterUpdateMode",
}

local bus = Proto("tarvinobus", "Tarvino controller bus")
local bf = {
    direction = ProtoField.string("tarvinobus.direction", "Direction"),
    unit = ProtoField.uint8("tarvinobus.unit", "Unit", base.HEX),
    fn = ProtoField.uint8("tarvinobus.function", "Function", base.HEX, functions),
    sub = ProtoField.uint8("tarvinobus.subcommand", "Sub-command", base.HEX, sub_commands),
    marker = ProtoField.uint8("tarvinobus.marker", "Block marker", base.HEX),
    address = ProtoField.uint24("tarvinobus.address", "Address", base.HEX),
    count = ProtoField.uint8("tarvinobus.count", "Count"),
    data = ProtoField.bytes("tarvinobus.data", "Data"),
    crc = ProtoField.uint16("tarvinobus.crc", "CRC", base.HEX),
    crc_computed = ProtoField.uint16("tarvinobus.crc.computed", "CRC computed", base.HEX),
    crc_valid = ProtoField.bool("tarvinobus.crc.valid", "CRC valid"),
}
bus.fields = bf
local bef = {
    bad_crc = ProtoExpert.new("tarvinobus.bad_crc", "Bad CRC: the receiver drops this frame", expert.group.CHECKSUM, expert.severity.ERROR),
    length = ProtoExpert.new("tarvinobus.length", "Frame length does not fit its function and count", expert.group.MALFORMED, expert.severity.ERROR),
    marker = ProtoExpert.new("tarvinobus.bad_marker", "Block marker is not 0x06", expert.group.MALFORMED, expert.severity.WARN),
}
bus.experts = { bef.bad_crc, bef.length, bef.marker }

-- Wireshark's Lua may be 5.2 (no bit operators): its bit library works in every version.
local band, bxor, rshift = bit.band, bit.bxor, bit.rshift
local crc_table = {}
for value = 0, 255 do
    local crc = value
    for _ = 1, 8 do
        if band(crc, 1) == 1 then crc = bxor(rshift(crc, 1), 0xA001) else crc = rshift(crc, 1) end
    end
    crc_table[value] = crc
end

local function crc16(range)
    local crc = 0xFFFF
    local bytes = range:bytes()
    for i = 0, bytes:len() - 1 do
        crc = bxor(rshift(crc, 8), crc_table[band(bxor(crc, bytes:get_index(i)), 0xFF)])
    end
    return crc
end

function bus.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "TARVINOBUS"
    local size = tvb:len()
    local request = pinfo.dst_port == BUS_PORT
    local subtree = tree:add(bus, tvb())
    subtree:add(bf.direction, tvb(0, 0), request and "Request" or "Reply")
    if size < 3 then
        subtree:add_proto_expert_info(bef.length)
        pinfo.cols.info = "Malformed bus frame"
        return size
    end
    local body = size - 2
    subtree:add(bf.unit, tvb(0, 1))
    subtree:add(bf.fn, tvb(1, 1))
    local fn = tvb(1, 1):uint()
    local info = (functions[fn] or string.format("Function 0x%02X", fn)) .. (request and "" or " reply")
    local expected = nil
    if fn == FN_COMMAND and body >= 3 then
        local sub = tvb(2, 1):uint()
        subtree:add(bf.sub, tvb(2, 1))
        info = info .. " " .. (sub_commands[sub] or string.format("0x%02X", sub))
        expected = 3
    elseif (fn == FN_READ or fn == FN_WRITE) and body >= 7 then
        local marker = subtree:add(bf.marker, tvb(2, 1))
        if tvb(2, 1):uint() ~= BLOCK_MARKER then marker:add_proto_expert_info(bef.marker) end
        subtree:add(bf.address, tvb(3, 3))
        subtree:add(bf.count, tvb(6, 1))
        local count = tvb(6, 1):uint()
        -- The data travel with the write request and with the read reply.
        local carries_data = (fn == FN_WRITE) == request
        expected = carries_data and 7 + count or 7
        if carries_data and body > 7 then subtree:add(bf.data, tvb(7, math.min(count, body - 7))) end
        info = info .. string.format(" 0x%06X, %d bytes", tvb(3, 3):uint(), count)
    elseif body > 2 then
        subtree:add(bf.data, tvb(2, body - 2))
    end
    if expected and expected ~= body then subtree:add_proto_expert_info(bef.length) end

    local sent = tvb(body, 2):le_uint()
    local computed = crc16(tvb(0, body))
    subtree:add_le(bf.crc, tvb(body, 2))
    subtree:add(bf.crc_computed, tvb(body, 2), computed)
    local valid = sent == computed
    local item = subtree:add(bf.crc_valid, tvb(body, 2), valid)
    if not valid then
        item:add_proto_expert_info(bef.bad_crc)
        info = info .. " [bad CRC]"
    end
    pinfo.cols.info = info
    return size
end

DissectorTable.get("udp.port"):add(DEVICE_PORT, tarvino)
DissectorTable.get("tcp.port"):add(DEVICE_PORT, tarvino_tcp)
DissectorTable.get("udp.port"):add(BUS_PORT, bus)
