# bash completion for vorasel(1) and vorasel-accessoryd(8)

_vorasel_kinds="t0 t1 t1-crc dual fast"

_vorasel() {
    local cur prev words cword
    _init_completion || return

    local commands="apdu atr demo firmware firmware-image help manager pcscd-config scan script tlv trace"
    local global="--log --capture --capture-limit --version --help"

    case $prev in
        --log) COMPREPLY=($(compgen -W "off error warn info debug verbose" -- "$cur")); return ;;
        --card) COMPREPLY=($(compgen -W "$_vorasel_kinds" -- "$cur")); return ;;
        --protocol) COMPREPLY=($(compgen -W "t0 t1 any" -- "$cur")); return ;;
        --capture) _filedir pcapng; return ;;
        --socket) _filedir sock; return ;;
        --libpath) _filedir so; return ;;
        --capture-limit | --events | --timeout | --cycle | --apdus | --revision) return ;;
    esac

    # The command is the first word that is neither an option nor an option's value.
    local i cmd="" sub=""
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --log | --capture | --capture-limit) ((i++)) ;;
            -*) ;;
            *)
                if [[ -z $cmd ]]; then cmd=${words[i]}; elif [[ -z $sub ]]; then sub=${words[i]}; fi
                ;;
        esac
    done

    if [[ -z $cmd ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "$global" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        fi
        return
    fi

    local opts=""
    case $cmd in
        apdu) opts="--card --empty --protocol --follow --json --help" ;;
        atr) opts="--json --help" ;;
        demo) opts="--card --apdus --log --help" ;;
        firmware) opts="--json --help"; [[ $cur != -* ]] && { _filedir; return; } ;;
        firmware-image)
            if [[ -z $sub ]]; then
                COMPREPLY=($(compgen -W "build check" -- "$cur")); return
            fi
            opts="--revision --json --help"; [[ $cur != -* ]] && { _filedir; return; } ;;
        help) [[ -z $sub ]] && COMPREPLY=($(compgen -W "$commands" -- "$cur")); return ;;
        manager)
            if [[ -z $sub || $sub == --json ]]; then
                COMPREPLY=($(compgen -W "capabilities counters gpio property --json --help" -- "$cur"))
                return
            fi
            case $sub in
                counters) opts="--reset" ;;
                gpio) opts="read write" ;;
                property) opts="get set" ;;
            esac ;;
        pcscd-config) opts="--socket --libpath --help" ;;
        scan) opts="--card --empty --events --timeout --cycle --json --help" ;;
        script) opts="--card --empty --protocol --json --help"; [[ $cur != -* ]] && { _filedir; return; } ;;
        tlv) opts="--help" ;;
        trace) opts="--json --help"; [[ $cur != -* ]] && { _filedir '@(pcap|pcapng)'; return; } ;;
    esac
    COMPREPLY=($(compgen -W "$opts" -- "$cur"))
}
complete -F _vorasel vorasel

_vorasel_accessoryd() {
    local cur prev words cword
    _init_completion || return
    case $prev in
        --card) COMPREPLY=($(compgen -W "$_vorasel_kinds vpcd" -- "$cur")); return ;;
        --socket | --capture) _filedir; return ;;
        --group) COMPREPLY=($(compgen -g -- "$cur")); return ;;
        --reattach-delay | --vpcd-port | --capture-limit) return ;;
    esac
    COMPREPLY=($(compgen -W "--socket --group --record --detached --reattach-delay --card --vpcd-port --capture --capture-limit --help" -- "$cur"))
}
complete -F _vorasel_accessoryd vorasel-accessoryd
