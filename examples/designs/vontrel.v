// vontrel's multiply-add design in Verilog, on the simulated card's fixed
// ports. A write to column 0 lands bitwise in operand word 1 where mask
// 0xC014 is set and in operand word 2 where mask 0xC010 is set; an operand
// word carries x in bits 0-10 and y in bits 16-26. Column 44 reads
// x1 * y1 + x2 * y2 in bits 0-22 and the status pattern in bits 23-31. The
// registers latch only while the clock runs.
module vontrel (
    input  wire        clk,
    input  wire        rst,
    input  wire [ 5:0] column,
    input  wire        write_enable,
    /* verilator lint_off UNUSEDSIGNAL */
    input  wire        read_enable,
    /* verilator lint_on UNUSEDSIGNAL */
    input  wire [31:0] write_data,
    input  wire [31:0] mask_c010,
    input  wire [31:0] mask_c014,
    input  wire        clock_running,
    output wire [31:0] read_data
);
  localparam [8:0] STATUS = 9'h1A5;

  /* verilator lint_off UNUSEDSIGNAL */
  reg  [31:0] first, second;
  wire [31:0] new_first = (first & ~mask_c014) | (write_data & mask_c014);
  wire [31:0] new_second = (second & ~mask_c010) | (write_data & mask_c010);
  /* verilator lint_on UNUSEDSIGNAL */
  wire [21:0] product1 = new_first[10:0] * new_first[26:16];
  wire [21:0] product2 = new_second[10:0] * new_second[26:16];
  wire [22:0] sum = {1'b0, product1} + {1'b0, product2};
  reg  [22:0] result;

  assign read_data = column == 6'd44 ? {STATUS, result} : 32'd0;

  always @(posedge clk) begin
    if (rst) begin
      first  <= 32'd0;
      second <= 32'd0;
      result <= 23'd0;
    end else if (clock_running && write_enable && column == 6'd0) begin
      first  <= new_first;
      second <= new_second;
      result <= sum;
    end
  end
endmodule
