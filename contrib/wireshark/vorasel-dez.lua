-- Wireshark dissector for the Vorasel case's DEZ management frames, as `vorasel --capture` and
-- `vorasel-accessoryd --capture` write them: interface 1 of the capture, link type USER0, one
-- BER-TLV message per packet, its direction in the packet flags.
--
--   wireshark -X lua_script:contrib/wireshark/vorasel-dez.lua capture.pcapng
--   tshark -X lua_script:contrib/wireshark/vorasel-dez.lua -r capture.pcapng -V
--
-- Or copy it into ~/.local/lib/wireshark/plugins/.

local dez = Proto("vorasel_dez", "Vorasel DEZ management")

local messages = {
    [0xC8] = "capture_image_2", [0xCC] = "reset", [0xCE] = "read_counters",
    [0xCF] = "reset_counters", [0xD0] = "error_code", [0xD1] = "gpio_state",
    [0xD2] = "property_value", [0xD3] = "capabilities", [0xD9] = "write_product_no",
    [0xDB] = "read_property", [0xDD] = "idle_power_timeout", [0xDE] = "get_capabilities",
    [0xE0] = "counter", [0xE1] = "gpio_pins", [0xE2] = "image_properties",
    [0xE8] = "firmware_image", [0xE9] = "read_gpio", [0xEA] = "write_gpio",
    [0xEB] = "write_property", [0xF0] = "image", [0xF1] = "identity", [0xF2] = "counters",
    [0xF3] = "sensor_info", [0xF4] = "selftest_result",
}
local fields = { [0x02] = "number", [0x04] = "bytes", [0x0C] = "string" }

local f_message = ProtoField.uint16("vorasel_dez.message", "Message", base.HEX, messages)
local f_tag = ProtoField.uint16("vorasel_dez.tag", "Tag", base.HEX)
local f_length = ProtoField.uint32("vorasel_dez.length", "Length", base.DEC)
local f_number = ProtoField.uint32("vorasel_dez.number", "Number", base.DEC_HEX)
local f_string = ProtoField.string("vorasel_dez.string", "String")
local f_bytes = ProtoField.bytes("vorasel_dez.bytes", "Bytes")
dez.fields = { f_message, f_tag, f_length, f_number, f_string, f_bytes }

local e_malformed = ProtoExpert.new("vorasel_dez.malformed", "Malformed BER-TLV",
                                    expert.group.MALFORMED, expert.severity.ERROR)
dez.experts = { e_malformed }

local f_direction = Field.new("frame.packet_flags_direction")

-- One element at `at`: tag, its byte count, whether constructed, length, the length's bytes.
-- Nil when the bytes end first.
local function header(tvb, at, stop)
    if at >= stop then return nil end
    local first = tvb(at, 1):uint()
    local tag, n = first, 1
    if first % 32 == 31 then
        if at + 1 >= stop then return nil end
        tag, n = first * 256 + tvb(at + 1, 1):uint(), 2
    end
    if at + n >= stop then return nil end
    local l = tvb(at + n, 1):uint()
    local lengthBytes = 1
    if l >= 0x80 then
        local k = l - 0x80
        if k < 1 or k > 3 or at + n + k >= stop then return nil end
        l = 0
        for i = 1, k do l = l * 256 + tvb(at + n + i, 1):uint() end
        lengthBytes = k + 1
    end
    local constructed = math.floor(first / 32) % 2 == 1
    return tag, n, constructed, l, lengthBytes
end

local function elements(tvb, tree, at, stop, depth, pinfo)
    while at < stop do
        local tag, n, constructed, length, lengthBytes = header(tvb, at, stop)
        local valueAt = tag and at + n + lengthBytes
        if not tag or valueAt + length > stop or depth > 16 then
            tree:add_proto_expert_info(e_malformed)
            return false
        end
        local name = messages[tag] or fields[tag] or string.format("0x%X", tag)
        local item = tree:add(tvb(at, n + lengthBytes + length), name)
        if depth == 0 then item:add(f_message, tvb(at, n), tag) else item:add(f_tag, tvb(at, n), tag) end
        item:add(f_length, tvb(at + n, lengthBytes), length)
        if constructed then
            if not elements(tvb, item, valueAt, valueAt + length, depth + 1, pinfo) then return false end
        elseif length > 0 then
            local value = tvb(valueAt, length)
            if tag == 0x02 and length <= 4 then
                item:add(f_number, value)
                item:append_text(": " .. value:uint())
            elseif tag == 0x0C then
                item:add(f_string, value)
                item:append_text(": \"" .. value:stringz() .. "\"")
            else
                item:add(f_bytes, value)
            end
        end
        at = valueAt + length
    end
    return true
end

function dez.dissector(tvb, pinfo, tree)
    if tvb:len() == 0 then return 0 end
    pinfo.cols.protocol = "DEZ"
    local direction = f_direction()
    local inbound = direction and direction.value == 1
    pinfo.cols.src = inbound and "case" or "host"
    pinfo.cols.dst = inbound and "host" or "case"
    local subtree = tree:add(dez, tvb(), "Vorasel DEZ management")
    local tag = header(tvb, 0, tvb:len())
    pinfo.cols.info = (tag and messages[tag]) or "DEZ"
    elements(tvb, subtree, 0, tvb:len(), 0, pinfo)
    return tvb:len()
end

DissectorTable.get("wtap_encap"):add(wtap.USER0, dez)
